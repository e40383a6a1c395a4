// The studio's engine (web/studio/): the checker, the render and the show of
// a score being edited in the browser, the very code the native tools run.
//
// The page hands each edit over with studio_edit(text): the checker's
// findings become the report (studio_report), and a valid edit is rendered
// into the SongBuffer as velomira-song render does it, the show set to its
// script and tempo. A rejected edit leaves the last good version in place:
// its song, its show and its Song for later renders.
//
// Solo and mute: the page plays studio_heard(), the mix of the heard tracks
// alone (rendered beside the whole mix in the same pass), while the
// SongBuffer keeps the whole mix, which the show's levels, the hash and the
// WAV download read.
//
// The show: studio_frame(ms) leaves the frame on screen at show time ms in
// the studio's pixels, as velomira-capture at 75 fps has it: played on from
// the last frame when that is close behind, else replayed from the start
// (offline.h), as the native live preview does after a seek or a save.
//
// Owns Studio. Runs on the browser's main thread only; the page plays the
// samples through Web Audio, so nothing here runs on another thread.
#include "driver/demo.h"
#include "driver/score_check.h"
#include "playback/playback.h"
#include "render3d/r3d.h"
#include "show/offline.h"
#include "show/script.h"
#include "synth/embedded_song.h"
#include "synth/score_file.h"
#include "synth/song.h"
#include "synth/synth.h"

#include <emscripten.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Frames played on one by one rather than replayed: a replay from the start
// costs about as much as playing a hundredth of the frames before it.
constexpr int64_t PlayOnFrames = 8;

struct StudioState {
    std::string goodText;        // the last version that checked; "" before the first
    std::string name = "score";  // the name in messages
    std::string report;          // the last edit's findings, see studio_report
    int32_t samples = 0;         // rendered samples of the good version
    uint32_t heard = AllTracks;
    std::vector<int16_t> heardMix;
    int64_t frame = -1;          // the frame on screen; -1: none since the last render
    int64_t lastFrame = 0;       // the show's last frame (offline.h)
};
StudioState Studio;

uint8_t Pixels[FramePixels];

// Fields of the report: line, kind and message within a finding, findings
// one after another; neither byte can stand in a score's quoted line.
constexpr char FieldEnd = '\x1f';
constexpr char FindingEnd = '\x1e';

void add_finding(const std::string& text, const std::vector<size_t>& starts, const SongDiagnostic& finding,
                 int32_t times)
{
    Studio.report += std::to_string(finding.line) + FieldEnd + (finding.rejection ? "error" : "warning") + FieldEnd +
                     score_message(Studio.name, text, starts, finding, times) + FindingEnd;
}

// velomira-song check's findings of text (driver/score_check.h) into the
// report. Leaves the Song parsed without instruments, unfit to render. True
// when the score is valid.
bool check(const std::string& text)
{
    const ScoreCheck checked = score_check_text(text);
    const std::vector<size_t> starts = score_line_starts(text);
    Studio.report.clear();
    for (const ScoreFinding& f : checked.findings)
        add_finding(text, starts, f.finding, f.times);
    return checked.valid;
}

// The good version read afresh and rendered as far as the demo pre-renders;
// the show starts over at its next frame.
void render_good()
{
    std::string message;
    demo_load_text(Studio.name, Studio.goodText, message);
    const int32_t previous = Studio.samples;
    Studio.samples = demo_prerender_blocks() * PrerenderBlockSamples;
    if (Studio.heard == AllTracks) {
        Studio.heardMix.clear();
        synth_render(SongBuffer, Studio.samples);
    } else {
        Studio.heardMix.resize(size_t(Studio.samples));
        synth_render_heard(SongBuffer, Studio.heardMix.data(), Studio.samples, Studio.heard);
    }
    const int32_t stale = std::max(previous, SongBufferSamples);
    if (stale > Studio.samples)
        std::memset(SongBuffer + Studio.samples, 0, sizeof(int16_t) * size_t(stale - Studio.samples));
    SongPosition.store(0, std::memory_order_relaxed);
    Studio.lastFrame = offline_last_frame(OfflineMaxFps);
    Studio.frame = -1;
}

}   // namespace

extern "C" {

// An edit: checked, then rendered when valid (returns 1), or refused with
// the last good version kept (returns 0). name is the score's name in messages.
EMSCRIPTEN_KEEPALIVE int studio_edit(const char* name, const char* text)
{
    Studio.name = name;
    const std::string edit = text;
    if (check(edit)) {
        Studio.goodText = edit;
        render_good();
        return 1;
    }
    // The check replaced the song, the script and the tempo: the good
    // version's come back (its samples are untouched).
    std::string message;
    demo_load_text(Studio.name, Studio.goodText, message);
    return 0;
}

// The last edit's findings: "LINE\x1fKIND\x1fMESSAGE\x1e" for each, KIND
// "error" or "warning", LINE 0 for the score as a whole, MESSAGE as
// velomira-song check writes it.
EMSCRIPTEN_KEEPALIVE const char* studio_report()
{
    return Studio.report.c_str();
}

// Renders the good version again with the tracks whose bit is set heard.
EMSCRIPTEN_KEEPALIVE void studio_set_heard(uint32_t mask)
{
    Studio.heard = mask;
    render_good();
}

EMSCRIPTEN_KEEPALIVE int32_t studio_samples()
{
    return Studio.samples;
}

EMSCRIPTEN_KEEPALIVE const int16_t* studio_song()
{
    return SongBuffer;
}

// What is heard: the whole mix itself while every track is.
EMSCRIPTEN_KEEPALIVE const int16_t* studio_heard()
{
    return Studio.heard == AllTracks ? SongBuffer : Studio.heardMix.data();
}

EMSCRIPTEN_KEEPALIVE int32_t studio_tracks()
{
    return song_played_tracks();
}

EMSCRIPTEN_KEEPALIVE int32_t studio_bar(int32_t position)
{
    return song_bar(position);
}

// The first whole millisecond of show time at which bar plays.
EMSCRIPTEN_KEEPALIVE int32_t studio_bar_ms(int32_t bar)
{
    const int64_t start = song_bar_start(std::max(bar, 0));
    return int32_t(std::min<int64_t>((start * 10 + 440) / 441, int64_t(Studio.samples) * 10 / 441));
}

// The frame on screen at show time ms into the pixels (palette indices, 640
// per row); returns the frame's number.
EMSCRIPTEN_KEEPALIVE int32_t studio_frame(int32_t ms)
{
    const int64_t target = std::min(offline_frame_at(std::max(ms, 0), OfflineMaxFps), Studio.lastFrame);
    if (target == Studio.frame)
        return int32_t(target);
    if (Studio.frame < 0 || target < Studio.frame || target - Studio.frame > PlayOnFrames) {
        if (target > 0)
            offline_replay(target - 1, OfflineMaxFps);
        else
            offline_start();
        Studio.frame = target - 1;
    }
    while (Studio.frame < target)
        offline_play_frame(Pixels, ++Studio.frame, OfflineMaxFps);
    return int32_t(target);
}

EMSCRIPTEN_KEEPALIVE const uint8_t* studio_pixels()
{
    return Pixels;
}

// The score a new studio starts from: the demo's own with its show as show
// lines, as velomira-song print --show writes it.
EMSCRIPTEN_KEEPALIVE const char* studio_demo_score()
{
    static const std::string score = std::string(EmbeddedSong) + "\n" + show_script_text(ShowScriptState{});
    return score.c_str();
}

// DemoPalette's 256 entries, four bytes each (red, green, blue, unused).
EMSCRIPTEN_KEEPALIVE const PaletteEntry* studio_palette()
{
    return DemoPalette;
}

} // extern "C"

int main()
{
    demo_build_palette();
    EM_ASM({ velomiraStudio.engineReady(); });
    return 0;
}
