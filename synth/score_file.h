// Scores as files: reading a score file (or the embedded score, named "-"),
// parsing it into a fresh Song, and the messages that name the file, the line
// and the line as written:
//
//     mysong.txt:12: error: track 3 plays pattern 17, which no line defines
//         | t3:p2,p17,loop
//
// Owns no state of its own: the parsed text stays in Song.loadedText. Order
// of use: score_load (which resets the synthesizer first); on success the
// Song is ready for synth_render. score_read, score_parse_text and the
// message functions serve callers that keep the text (the checker, play).
#pragma once

#include "synth/song.h"

#include <cstdint>
#include <string>
#include <vector>

// The largest score read from a file: far beyond any score the format can
// use (it reads at most 1000 lines), small enough that reading and checking
// it stays quick and bounded. A larger file is refused unread.
inline constexpr uint64_t ScoreMaxBytes = uint64_t(16) << 20;

// "-" stands for the embedded score wherever a score file is named.
inline constexpr const char* EmbeddedScorePath = "-";
inline constexpr const char* EmbeddedScoreName = "(embedded score)";

// The name a score goes by in messages: its path, or "(embedded score)".
std::string score_name(const std::string& path);

// Reads the whole file at path into text, or the embedded score for "-";
// -1 with a message when it cannot, or when it holds more than ScoreMaxBytes.
int score_read(const std::string& path, std::string& text, std::string& message);

// Parses text (a score's bytes as read) named `name` in messages into the
// Song as it is; 0 on success, -1 with the first rejection's message.
int score_parse_text(const std::string& name, const std::string& text, std::string& message);

// synth_reset, then reads and parses the score at path ("-" or "": the
// embedded one); -1 with a message when it cannot be read or is rejected.
int score_load(const std::string& path, std::string& message);

// Where each line of a text starts, to quote lines as written. A text
// without line feeds is cut at carriage returns, as the parser reads it.
std::vector<size_t> score_line_starts(const std::string& text);

// "NAME:LINE: error: message" (or warning), with "(N times)" when times > 1,
// then the line as written, cut for quoting; no line part for a finding
// about the whole text. No final line feed.
std::string score_message(const std::string& name, const std::string& text, const std::vector<size_t>& starts,
                          const SongDiagnostic& finding, int32_t times = 1);
