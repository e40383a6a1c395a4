#!/usr/bin/env python3
"""The musician's live loop: from a save to hearing it.

Runs `velomira-song play SCORE --watch` with SDL's disk audio driver paced at
real time, and saves (write a new file, rename it over the score, as editors
do) two versions in turn: one silent, one that sounds on every row. For each
save of the sounding version, the time from the rename to the first sound in
the audio the program hands to the device. A real device adds its own buffer
(play asks for 1024 frames, 23 ms) to what is measured here.

usage: bench/live_loop.py [BUILD] [SAVES]   (BUILD defaults to build/, SAVES to 20)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
saves = int(sys.argv[2]) if len(sys.argv) > 2 else 20
program = os.path.join(build, "tools", "velomira-song", "velomira-song")

# The demo's tempo and length: a save renders the whole 113 s song.
head = "bpm:125\ni1:saha,2,5,30,2300,0,2\n"
silent = head + "p1:00\nt1:p1,loop\n"
sounding = head + "p1:a2,c3,e3,a3\nt1:p1,loop\n"

work = tempfile.mkdtemp(prefix="velomira-live-")
score = os.path.join(work, "song.txt")
audio = os.path.join(work, "audio.raw")


def save(text):
    temporary = score + ".new"
    with open(temporary, "w") as f:
        f.write(text)
    os.rename(temporary, score)
    return time.monotonic()


def wait_for(audio_file, offset, sound, limit=5.0):
    """Reads the recording from offset until a buffer of sound (or of silence) comes;
    returns the time it was seen and the offset after it."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        data = audio_file.read()
        if data:
            # Whole stereo frames of 16-bit samples.
            loud = any(data[i] or data[i + 1] for i in range(0, len(data) - 1, 2))
            offset += len(data)
            if loud == sound and (sound or len(data) >= 4096):
                return time.monotonic(), offset
        else:
            time.sleep(0.0005)
    raise SystemExit("no %s within %.0f s" % ("sound" if sound else "silence", limit))


save(silent)
env = dict(os.environ, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=audio, SDL_DISKAUDIODELAY="23")
player = subprocess.Popen([program, "play", score, "--watch"], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    while not os.path.exists(audio):
        time.sleep(0.01)
    latencies = []
    with open(audio, "rb") as recording:
        offset = 0
        _, offset = wait_for(recording, offset, False)
        for _ in range(saves):
            offset += len(recording.read())   # what came before the save is not its sound
            saved = save(sounding)
            heard, offset = wait_for(recording, offset, True)
            latencies.append((heard - saved) * 1000)
            time.sleep(0.2)
            save(silent)
            _, offset = wait_for(recording, offset, False)
            time.sleep(0.3)
            # Silence for a while: the sounding take is gone.
            _, offset = wait_for(recording, offset, False)
finally:
    player.terminate()
    player.wait()

latencies.sort()
print("save to sound handed to the device, %d saves (ms): median %.0f, min %.0f, max %.0f, 90%% %.0f"
      % (len(latencies), statistics.median(latencies), latencies[0], latencies[-1],
         latencies[int(0.9 * (len(latencies) - 1))]))
print("all:", " ".join("%.0f" % ms for ms in latencies))
print("load:", open("/proc/loadavg").read().split()[:3])
