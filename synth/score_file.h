// A score read from a file for playing: the text, read whole, parsed into the
// Song, and on failure one message in the checker's words, naming the file,
// the line and the line as written:
//
//     mysong.txt:12: error: track 3 plays pattern 17, which no line defines
//         | t3:p2,p17,loop
//
// Owns no state of its own: the parsed text stays in Song.loadedText, as with
// song_load. Order of use: synth_init (synth.h), then score_load; on success
// the Song is ready for synth_render.
#pragma once

#include <cstdint>
#include <string>

// The largest score read from a file: far beyond any score the format can
// use (it reads at most 1000 lines), small enough that reading and checking
// it stays quick and bounded. A larger file is refused unread.
inline constexpr uint64_t ScoreMaxBytes = uint64_t(16) << 20;

// Reads the file at path and parses it. 0 on success; -1 when the file
// cannot be read or the score is rejected, with message set as above.
int score_load(const std::string& path, std::string& message);

// Reads the whole file at path into text; -1 with a message when it cannot
// or when it holds more than ScoreMaxBytes.
int score_read(const std::string& path, std::string& text, std::string& message);

// Parses text (a score's bytes as read) named `name` in messages, as score_load.
int score_parse_text(const std::string& name, const std::string& text, std::string& message);
