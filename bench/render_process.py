#!/usr/bin/env python3
"""The whole song rendered to a WAV file as a process, against the literal
algorithm in the same run.

Runs `velomira-song render - OUT` RUNS times, writing over a file that is
already there (as a musician renders again) and to a new name, and the
synth benchmark's literal sequencer (BM_WholeSongLiteral: the whole song in
process, the literal rule sample by sample) in between, so that both see the
machine in the same state. Prints the medians in milliseconds and the ratio
literal / process.

usage: bench/render_process.py [BUILD] [RUNS]   (BUILD defaults to build/, RUNS to 21)
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 21
tool = os.path.join(build, "tools", "velomira-song", "velomira-song")
bench = os.path.join(build, "bench", "synth", "velomira_synth_bench")

work = tempfile.mkdtemp(prefix="velomira-render-")
again = os.path.join(work, "again.wav")
fresh = os.path.join(work, "fresh.wav")


def timed(args):
    start = time.perf_counter()
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (time.perf_counter() - start) * 1000


def literal_ms():
    result = subprocess.run([bench, "--benchmark_filter=BM_WholeSongLiteral", "--benchmark_format=json",
                             "--benchmark_min_time=0.2"], check=True, capture_output=True, text=True)
    entry = json.loads(result.stdout)["benchmarks"][0]
    return entry["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry["time_unit"]]


timed([tool, "render", "-", again])   # the file to write over, and the program in the page cache
over, new, literal = [], [], []
for run in range(runs):
    over.append(timed([tool, "render", "-", again]))
    if os.path.exists(fresh):
        os.remove(fresh)
    new.append(timed([tool, "render", "-", fresh]))
    if run % 5 == 0:
        literal.append(literal_ms())
for path in (again, fresh):
    os.remove(path)
os.rmdir(work)

lit = statistics.median(literal)
for name, times in (("over an existing file", over), ("to a new file", new)):
    m = statistics.median(times)
    print(f"render {name}: median {m:.1f} ms (min {min(times):.1f}, max {max(times):.1f}); "
          f"literal in process {lit:.1f} ms: {lit / m:.2f}x")
