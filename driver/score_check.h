// The checker: everything a score's text would drop or neutralise, and every
// error that makes it unplayable, for velomira-song check and the browser's
// studio. The music's findings (synth/song.h), the show lines' (show/script.h),
// the song's length at its tempo, and a note when the show and the music end
// far apart; a finding repeated on one line (a track playing one empty
// pattern many times) is kept once with its count, in the order found.
//
// Owns no state: it parses into the Song without rendering instruments
// (so the Song is unfit to play afterwards) and leaves the bar clock at the
// score's tempo. The messages themselves are score_message's (score_file.h).
#pragma once

#include "synth/song.h"

#include <cstdint>
#include <string>
#include <vector>

struct ScoreFinding {
    SongDiagnostic finding;
    int32_t times = 1;   // how often it came on its line
};

struct ScoreCheck {
    std::vector<ScoreFinding> findings;
    bool valid = false;
    int32_t played = 0;     // tracks played (valid scores)
    int32_t warnings = 0;   // findings that are not rejections
};

ScoreCheck score_check_text(const std::string& text);

// The show's bar in which the last played track of the parsed Song ends, at
// the bar clock's tempo (song_bar), or -1 when a track loops for ever.
int32_t score_music_last_bar();
