// Song model and parser: the in-memory score and the text that fills it.
//
// Owns Song: RowLength and EchoLength (set by the tempo line), the 30
// instruments with their rendered samples and echo lines, the 30 tracks (play
// lists of pattern numbers) and the 1000 patterns (rows of notes and
// commands), plus the message of the last rejection.
//
// Order of calls: synth_init (synth.h) first, which completes the NoteTable
// and empties the tracks; then song_parse(text) on a writable NUL-terminated
// text (parsed in place: blanks are removed, separators overwritten), or
// song_load(path). Each instrument line is rendered by instrument_render as
// soon as it is read. A second parse adds to or replaces what the first set.
//
// Input bytes: a UTF-8 byte order mark is skipped; a text with no line feed
// has its carriage returns end lines; song_bytes_check refuses NUL bytes and
// UTF-16, which the NUL-terminated text cannot carry.
//
// Rejections: a line that would reach outside a table or leaves a value
// undefined (see song_parse) is skipped, reported and makes the result
// negative; everything else the format does not recognise reads as a neutral
// value, as the format says. song_parse_checked also reports those neutral
// readings, for the velomira-song checker, without changing the parse.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr int32_t MaxInstruments = 30;
inline constexpr int32_t MaxTracks = 30;
inline constexpr int32_t MaxPatterns = 1000;
inline constexpr int32_t MaxCells = 100;       // cells of a pattern / entries of a track, end marker included
inline constexpr int32_t MaxSongLines = 1000;  // non-empty lines read; later ones are ignored

inline constexpr int32_t TrackEnd = -2;
inline constexpr int32_t TrackLoop = -3;

// Longest instrument sound: playPos is a float, which addresses every sample
// only up to 2^24 (380 s at 44100 Hz).
inline constexpr int32_t MaxSampleLength = 1 << 24;

struct Instrument {
    int32_t waveform = 0;
    int32_t attack = 0, decay = 0, sustain = 0, release = 0;
    int32_t modRate = 0;
    int32_t sweep = 0;
    int32_t sampleLength = 0;        // attack + decay + sustain + release + 1; 0: undefined
    std::vector<float> samples;      // sampleLength entries, rendered at the base pitch
    std::vector<float> echoLine;     // EchoLength entries (as it was when the line was read)
    // False while echoLine still holds only the +0.0 it was filled with: no
    // note has fed it yet, so it recirculates +0.0 and adds nothing to the
    // mix, and the sequencer skips it. Set by the first note played with echo on.
    bool echoFed = false;
};

using Track = std::array<int32_t, MaxCells>;     // pattern numbers, TrackLoop, ended by TrackEnd
using Pattern = std::array<int32_t, MaxCells>;   // CellEmpty, notes, commands, ended by PatternEnd

struct SongState {
    int32_t RowLength = 0;           // output samples per pattern row; 0 until a tempo line
    int32_t EchoLength = 0;          // 3 * RowLength
    char* SongText = nullptr;        // the text being parsed (song_load: loadedText)
    Instrument instruments[MaxInstruments];
    Track tracks[MaxTracks] = {};    // synth_init makes each empty (entry 0 = TrackEnd)
    Pattern patterns[MaxPatterns] = {};
    bool patternDefined[MaxPatterns] = {};
    std::vector<char> loadedText;    // song_load's buffer
    std::string error;               // first rejection of the last parse; "" when none
};
inline SongState Song;   // the one instance

// A finding of the parser: a rejection, or something the format silently
// drops or reads as a neutral value.
struct SongDiagnostic {
    int32_t line = 0;        // 1-based line number in the text (0: the song as a whole)
    std::string text;        // the line, blanks removed
    std::string message;
    bool rejection = false;
};

// Removes every space and carriage return, in place.
void strip_blanks(char* s);

// Parses a writable NUL-terminated text into the Song. 0 on success; -1 when
// the song is rejected (song_error() then names the first problem).
int song_parse(char* text);

// song_parse that also appends every finding, rejections included, to notes.
// render false (for a checker): instruments get their lengths but no buffers
// and are not rendered, so the song cannot be played afterwards.
int song_parse_checked(char* text, std::vector<SongDiagnostic>* notes, bool render = true);

// The bytes of a score before they become a NUL-terminated text: a NUL byte
// would silently end the text early, and UTF-16 text is full of them. False,
// with problem naming the line, when the bytes cannot be a score.
bool song_bytes_check(const char* bytes, size_t size, SongDiagnostic& problem);

// text cut for quoting in a message: at most limit bytes, then "...".
std::string song_quote(const char* text, size_t limit = 120);

// Reads a whole file (at most ScoreMaxBytes, score_file.h) and parses it;
// -1 when it cannot be read, with song_error() saying why. Defined beside
// the score reader it uses, in score_file.cpp.
int song_load(const char* path);

// The first rejection of the last song_parse or song_load, as
// "line N (TEXT): reason"; "" when it succeeded.
const char* song_error();

// The tracks the sequencer plays: 1 up to the first empty track.
int32_t song_played_tracks();
