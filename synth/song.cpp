// Song parser: tokenizing, the four line kinds, and the end-of-parse checks.
#include "synth/song.h"

#include "synth/note_table.h"
#include "synth/synth.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const char* const Utf16Message = "the score is UTF-16 text; save it as UTF-8 (or plain ASCII)";

// The next token with one separator, as the C library's strtok takes it:
// leading separators are skipped, the separator ending the token is
// overwritten with NUL, and only separators or nothing left means no token.
// Lines are split (and NUL-terminated) before they are taken apart, so one
// cursor per line behaves like strtok's single shared state.
struct Cursor {
    char* at;

    char* next(char separator)
    {
        while (*at == separator)
            ++at;
        if (*at == '\0')
            return nullptr;
        char* token = at;
        while (*at != '\0' && *at != separator)
            ++at;
        if (*at == separator)
            *at++ = '\0';
        return token;
    }
};

// A number read like atoi: leading white space, a sign, decimal digits, up to
// the first other character; no digits read as 0. Out-of-range values
// saturate at the int32 limits instead of being undefined.
struct Number {
    int32_t value = 0;
    bool clean = false;       // the whole field was the number
    bool saturated = false;
};

Number read_number(const char* s)
{
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        ++s;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+')
        ++s;
    int64_t magnitude = 0;
    bool digits = false, saturated = false;
    for (; *s >= '0' && *s <= '9'; ++s) {
        digits = true;
        magnitude = magnitude * 10 + (*s - '0');
        if (magnitude > int64_t(INT32_MAX) + 1) {
            magnitude = int64_t(INT32_MAX) + 1;
            saturated = true;
        }
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX) {
        value = INT32_MAX;
        saturated = true;
    }
    return {int32_t(value), digits && *s == '\0', saturated};
}

// A field quoted in a message, cut short like the lines.
std::string quoted(const char* field)
{
    std::string text(1, '"');
    text += song_quote(field, 40);
    text += '"';
    return text;
}

// The empty row as the format writes it, "00", or the "0" of a one-row
// pattern.
bool is_empty_row(const char* field)
{
    return std::strcmp(field, "00") == 0 || std::strcmp(field, "0") == 0;
}

// Other trackers' empty rows ("--", "...", "000"): they play as empty rows too,
// but only by not being anything else.
bool is_rest_like(const char* field)
{
    return std::strspn(field, "0.-") == std::strlen(field);
}

// The sound of an empty row noted for a field that is not a note.
std::string not_a_note(const char* field)
{
    if (is_rest_like(field))
        return quoted(field) + " is not the format's empty row; it plays as one, but write 00";
    std::string message = quoted(field) + " is not a note (c1..b6) or command; it plays as an empty row";
    const std::string hint = note_hint(field);
    return hint.empty() ? message : message + " (" + hint + ")";
}

// The tempo a bpm value plays at: rows are whole samples long, counted in
// steps of 2.5 bpm, so 128 plays at 127.5. One decimal, none when whole.
std::string tempo_heard(int64_t rowLength)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", 44100.0 * 60.0 / 4.0 / double(rowLength));
    std::string heard = text;
    if (heard.size() > 2 && heard.compare(heard.size() - 2, 2, ".0") == 0)
        heard.resize(heard.size() - 2);
    return heard;
}

struct Parser {
    std::vector<SongDiagnostic>* notes = nullptr;
    bool render = true;                // false: instruments are measured, not rendered
    bool nonEmpty = false;             // the text held anything at all
    int32_t line = 0;
    std::string text;
    int32_t waveform = WaveSquare;     // kept from one instrument line to the next
    SongDiagnostic firstInstrument;    // line 0: no instrument line yet
    SongDiagnostic lateTempo;          // first tempo line after an instrument line
    SongDiagnostic trackLine[MaxTracks];
    bool rejected = false;

    void note(const std::string& message, bool rejection = false)
    {
        record({line, text, message, rejection});
    }

    void record(const SongDiagnostic& d)
    {
        if (d.rejection && !rejected) {
            rejected = true;
            Song.error = "line " + std::to_string(d.line) + " (" + d.text + "): " + d.message;
        }
        if (notes)
            notes->push_back(d);
    }

    // A number field; the checker hears about fields that only read as one.
    int32_t number(const char* field, const std::string& what)
    {
        Number n = read_number(field);
        if (notes && n.saturated)
            note(what + " " + quoted(field) + " is out of range; reads as " + std::to_string(n.value));
        else if (notes && !n.clean)
            note(what + " " + quoted(field) + " is not a number; reads as " + std::to_string(n.value));
        return n.value;
    }

    // A table number (instrument, pattern, track); false, and the line
    // rejected, when it is outside 0..count-1.
    bool in_table(int32_t n, const char* what, int32_t count)
    {
        if (n >= 0 && n < count)
            return true;
        note(std::string(what) + " number " + std::to_string(n) + " is outside 0.." +
                 std::to_string(count - 1),
             true);
        return false;
    }

    void parse_line(char* start);
    void tempo(Cursor& cursor);
    void instrument(const char* head, Cursor& cursor);
    int32_t waveform_of(const char* field);
    bool envelope(const char* const* fields, int32_t count, int32_t (&value)[8], int64_t& length);
    void pattern(const char* head, Cursor& cursor);
    void track(const char* head, Cursor& cursor);
    void check_played_tracks();
};

void Parser::parse_line(char* start)
{
    text = song_quote(start);
    if (start[0] == '#')
        return;
    Cursor cursor{start};
    const char* head = cursor.next(':');
    if (!head)
        return;
    if (std::strcmp(head, "bpm") == 0)
        tempo(cursor);
    else if (head[0] == 'i')
        instrument(head, cursor);
    else if (head[0] == 'p')
        pattern(head, cursor);
    else if (head[0] == 't')
        track(head, cursor);
    else if (notes && start[0] != ';' && std::strcmp(head, "show") != 0)   // show lines are the show's
        note("ignored: not a tempo (bpm), instrument (i), pattern (p) or track (t) line");
}

void Parser::tempo(Cursor& cursor)
{
    const char* field = cursor.next(':');
    if (!field) {
        note("the tempo line has no value", true);
        return;
    }
    int32_t bpm = number(field, "tempo");
    // A tempo beyond the integer range is named as written, not as the
    // saturated value it reads as.
    const std::string named = read_number(field).saturated ? song_quote(field, 40) : std::to_string(bpm);
    if (notes && cursor.next(':'))
        note("text after the tempo value (from the next \":\") is ignored");
    if (bpm < 3) {
        note("tempo " + named + " is too slow (the lowest is 3)", true);
        return;
    }
    // Integer steps as the format defines them: q changes only every 2.5 bpm.
    int64_t q = int64_t(bpm) * 10 / 25;
    int64_t rowLength = int64_t(Synth.SampleRate) * 6 / q;
    if (rowLength < 1) {
        note("tempo " + named + " is too fast: a row would be shorter than one sample",
             true);
        return;
    }
    if (notes && !read_number(field).saturated && tempo_heard(rowLength) != std::to_string(bpm))
        note("tempo " + named + " plays at " + tempo_heard(rowLength) + " bpm: " +
             (bpm % 5 ? "tempos move in steps of 2.5 bpm (multiples of 5 are exact)"
                      : "a row lasts a whole number of samples"));
    Song.RowLength = int32_t(rowLength);
    Song.EchoLength = 3 * Song.RowLength;
    if (firstInstrument.line && !lateTempo.line)
        lateTempo = {line, text, "", false};
}

// The waveform word: one of the four, or the previous line's (noted).
int32_t Parser::waveform_of(const char* field)
{
    static const char* const words[4] = {"kantti", "sini", "saha", "kohina"};
    for (int32_t w = 0; w < 4; ++w)
        if (std::strcmp(field, words[w]) == 0)
            return w;
    if (notes)
        note("unknown waveform " + quoted(field) + " (kantti, sini, saha, kohina); "
             "it keeps the previous one, " + words[waveform]);
    return waveform;
}

// The numbers after the waveform and the sound's length from the four
// phases; false, and the line rejected, when they cannot make a sound.
bool Parser::envelope(const char* const* fields, int32_t count, int32_t (&value)[8], int64_t& length)
{
    static const char* const names[8] = {"attack", "decay", "sustain", "release",
                                          "ring", "sweep", "field 8 (ignored)",
                                          "field 9 (ignored)"};
    for (int32_t k = 1; k < count; ++k)
        value[k - 1] = number(fields[k], names[k - 1]);
    length = 1;
    for (int32_t k = 0; k < 4; ++k) {
        if (value[k] < 0) {
            note(std::string(names[k]) + " " + std::to_string(value[k]) + " is negative", true);
            return false;
        }
        length += value[k];
    }
    if (value[0] == 0 && value[3] == 0) {
        note("attack and release are both 0 (one of them must be at least 1)", true);
        return false;
    }
    if (length > MaxSampleLength) {
        note("the sound is " + std::to_string(length) + " samples long; the longest is " +
             std::to_string(MaxSampleLength), true);
        return false;
    }
    return true;
}

void Parser::instrument(const char* head, Cursor& cursor)
{
    const int32_t n = number(head + 1, "instrument number");
    if (!in_table(n, "instrument", MaxInstruments))
        return;
    const char* fields[9] = {};
    int32_t count = 0;
    while (count < 9 && (fields[count] = cursor.next(',')))
        ++count;
    if (count < 6) {
        note("an instrument line needs a waveform and five numbers (attack, decay, sustain, "
             "release, ring), only " + std::to_string(count) + (count == 1 ? " field given" : " fields given"),
             true);
        return;
    }
    if (notes && cursor.next(','))
        note("fields after the ninth are ignored");
    const int32_t wave = waveform_of(fields[0]);
    int32_t value[8] = {};
    int64_t length = 0;
    if (!envelope(fields, count, value, length))
        return;

    waveform = wave;
    if (!firstInstrument.line)
        firstInstrument = {line, text, "", false};
    Instrument& ins = Song.instruments[n];
    if (!render) {
        // The checker needs only the numbers: no buffers, no rendering, so
        // its memory and time stay small whatever lengths the score asks for.
        ins = Instrument{};
        ins.sampleLength = int32_t(length);
        return;
    }
    ins.echoLine.assign(size_t(Song.EchoLength), 0.0f);
    ins.echoFed = false;
    ins.waveform = wave;
    ins.attack = value[0];
    ins.decay = value[1];
    ins.sustain = value[2];
    ins.release = value[3];
    ins.modRate = value[4];
    ins.sweep = value[5];   // 0 when the line has no sixth number
    ins.sampleLength = int32_t(length);
    ins.samples.assign(size_t(length), 0.0f);
    instrument_render(ins.attack, ins.decay, ins.sustain, ins.release, ins.modRate, ins.sweep, n,
                      ins.waveform);
}

void Parser::pattern(const char* head, Cursor& cursor)
{
    const int32_t n = number(head + 1, "pattern number");
    if (!in_table(n, "pattern", MaxPatterns))
        return;
    Pattern cells;
    int32_t k = 0;
    auto full = [&]() {
        if (k < MaxCells - 1)
            return false;
        note("a pattern holds at most " + std::to_string(MaxCells - 1) +
                 " cells (an sld or vol argument counts as one)",
             true);
        return true;
    };
    bool gapNoted = false;
    while (true) {
        // Two separators together make no row of their own.
        if (notes && !gapNoted && *cursor.at == ',' && cursor.at[1] != '\0') {
            note("an empty field (two commas together) makes no row; write 00 for an empty row");
            gapNoted = true;
        }
        const char* field = cursor.next(',');
        if (!field)
            break;
        if (full())
            return;
        int32_t v = note_lookup(field);
        cells[size_t(k++)] = v;
        if (notes && v == CellEmpty && !is_empty_row(field))
            note(not_a_note(field));
        if (v == CmdSld || v == CmdVol) {
            const char* argument = cursor.next(',');
            if (!argument) {
                note(quoted(field) + " needs a number after it", true);
                return;
            }
            if (full())
                return;
            cells[size_t(k++)] = number(argument, std::string(field) + " argument");
        }
    }
    cells[size_t(k)] = PatternEnd;
    std::copy(cells.begin(), cells.begin() + k + 1, Song.patterns[n].begin());
    Song.patternDefined[n] = true;
}

void Parser::track(const char* head, Cursor& cursor)
{
    const int32_t n = number(head + 1, "track number");
    if (!in_table(n, "track", MaxTracks))
        return;
    Track entries;
    int32_t k = 0;
    bool looped = false;
    while (const char* field = cursor.next(',')) {
        if (k >= MaxCells - 1) {
            note("a track holds at most " + std::to_string(MaxCells - 1) + " entries, loop included",
                 true);
            return;
        }
        if (notes && looped)
            note("entry " + quoted(field) + " comes after loop and is never played");
        if (std::strcmp(field, "loop") == 0) {
            entries[size_t(k++)] = TrackLoop;
            looped = true;
            continue;
        }
        // The first character is skipped whatever it is: "p12" and "x12" are pattern 12.
        if (notes && field[0] != 'p')
            note("entry " + quoted(field) + " should be p<number> or loop");
        const int32_t p = number(field + 1, "pattern number");
        if (!in_table(p, "pattern", MaxPatterns))
            return;
        entries[size_t(k++)] = p;
    }
    entries[size_t(k)] = TrackEnd;
    std::copy(entries.begin(), entries.begin() + k + 1, Song.tracks[n].begin());
    trackLine[n] = {line, text, "", false};
}

// What the sequencer relies on for every played track, checked once the
// whole text is read (a later line may still define what an earlier needs).
void Parser::check_played_tracks()
{
    int32_t played = song_played_tracks();
    auto reject = [&](const SongDiagnostic& at, const std::string& message) {
        record({at.line, at.text, message, true});
    };
    for (int32_t t = 1; t <= played; ++t) {
        const SongDiagnostic& at = trackLine[t];
        const Track& entries = Song.tracks[t];
        if (Song.instruments[t].sampleLength == 0)
            reject(at, "track " + std::to_string(t) + " is played but instrument " +
                           std::to_string(t) + " is not defined");
        if (entries[0] == TrackLoop)
            reject(at, "track " + std::to_string(t) + " starts with loop");
        for (int32_t k = 0; entries[size_t(k)] >= 0; ++k) {
            int32_t p = entries[size_t(k)];
            if (!Song.patternDefined[p])
                reject(at, "track " + std::to_string(t) + " plays pattern " + std::to_string(p) +
                               ", which no line defines");
            else if (Song.patterns[p][0] == PatternEnd)
                reject(at, "track " + std::to_string(t) + " plays pattern " + std::to_string(p) +
                               ", which has no cells");
        }
    }
    if (played == 0) {
        if (notes && nonEmpty)
            record({0, "", "no track is played, so the song is silent: tracks play from t1 up to the "
                           "first missing one", false});
        return;
    }
    if (Song.RowLength == 0) {
        const SongDiagnostic& at = firstInstrument.line ? firstInstrument : trackLine[1];
        record({at.line, at.text, "no tempo line: write bpm:<tempo> before the first instrument line",
                true});
    }
    else if (lateTempo.line)
        record({lateTempo.line, lateTempo.text,
                "the tempo line must come before the first instrument line (line " +
                    std::to_string(firstInstrument.line) + ")",
                true});
    if (notes)
        for (int32_t t = played + 1; t < MaxTracks; ++t)
            if (Song.tracks[t][0] != TrackEnd && trackLine[t].line)
                record({trackLine[t].line, trackLine[t].text,
                        "track " + std::to_string(t) + " is never played: tracks play from 1 up to "
                        "the first missing one, track " + std::to_string(played + 1),
                        false});
}

}   // namespace

void strip_blanks(char* s)
{
    char* write = s;
    for (const char* read = s; *read; ++read)
        if (*read != ' ' && *read != '\r')
            *write++ = *read;
    *write = '\0';
}

int32_t song_played_tracks()
{
    int32_t t = 1;
    while (t < MaxTracks && Song.tracks[t][0] != TrackEnd)
        ++t;
    return t - 1;
}

namespace {

// Line ends as the format reads them: in a text without any line feed (old
// Mac files) carriage returns end lines; otherwise a lone carriage return is
// a blank like any other, and the checker points at the first, which may
// have been meant as a line end.
void settle_line_ends(char* text, Parser& parser)
{
    if (!std::strchr(text, '\n')) {
        for (char* c = text; *c; ++c)
            if (*c == '\r')
                *c = '\n';
        return;
    }
    if (!parser.notes)
        return;
    int32_t lone = 0, first = 0, number = 1;
    for (const char* c = text; *c; ++c)
        if (*c == '\n')
            ++number;
        else if (*c == '\r' && c[1] != '\n' && lone++ == 0)
            first = number;
    if (lone)
        parser.record({first, "", "a carriage return without a line feed after it does not end a line; it is "
                                  "removed like a space (" + std::to_string(lone) + " in the text)", false});
}

struct Line {
    char* start;
    int32_t number;
};

// The non-empty lines, cut at line feeds in place, each with its number in
// the text for messages; at most MaxSongLines.
std::vector<Line> cut_lines(char* text, Parser& parser)
{
    std::vector<Line> lines;
    int32_t number = 1;
    char* at = text;
    while (*at) {
        if (*at == '\n') {
            ++number;
            ++at;
            continue;
        }
        if (int32_t(lines.size()) == MaxSongLines) {
            if (parser.notes)
                parser.record({number, "", "lines after the 1000th non-empty line are ignored", false});
            break;
        }
        lines.push_back({at, number});
        at = std::strchr(at, '\n');
        if (!at)
            break;
        *at++ = '\0';
        ++number;
    }
    return lines;
}

}   // namespace

int song_parse_checked(char* text, std::vector<SongDiagnostic>* notes, bool render)
{
    Parser parser;
    parser.notes = notes;
    parser.render = render;
    Song.SongText = text;
    Song.error.clear();
    // A UTF-8 byte order mark, which some editors write first, is not text.
    if (std::strncmp(text, "\xEF\xBB\xBF", 3) == 0)
        text += 3;
    if (std::strncmp(text, "\xFF\xFE", 2) == 0 || std::strncmp(text, "\xFE\xFF", 2) == 0) {
        parser.line = 1;
        parser.note(Utf16Message, true);
        return -1;
    }
    parser.nonEmpty = text[0] != '\0';
    settle_line_ends(text, parser);
    strip_blanks(text);
    for (const Line& line : cut_lines(text, parser)) {
        parser.line = line.number;
        parser.parse_line(line.start);
    }
    parser.check_played_tracks();
    return parser.rejected ? -1 : 0;
}

int song_parse(char* text)
{
    return song_parse_checked(text, nullptr);
}

std::string song_quote(const char* text, size_t limit)
{
    size_t length = std::strlen(text);
    if (length <= limit)
        return text;
    // Cut before a UTF-8 continuation byte, never inside a character.
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(text, cut) + "...";
}

bool song_bytes_check(const char* bytes, size_t size, SongDiagnostic& problem)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    const bool utf16Mark = size >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF));
    // An empty text may come with no buffer at all: memchr must not see it.
    const char* nul = size ? static_cast<const char*>(std::memchr(bytes, '\0', size)) : nullptr;
    if (!utf16Mark && !nul)
        return true;
    problem = {};
    problem.rejection = true;
    // UTF-16 text, even without a byte order mark, has a NUL byte beside
    // nearly every ASCII character, starting with the first or second byte.
    if (utf16Mark || nul - bytes < 2) {
        problem.line = 1;
        problem.message = Utf16Message;
        return false;
    }
    const char* lineStart = bytes;
    problem.line = 1;
    for (const char* c = bytes; c < nul; ++c)
        if (*c == '\n') {
            ++problem.line;
            lineStart = c + 1;
        }
    problem.text = song_quote(std::string(lineStart, nul).c_str());
    problem.message = "a NUL byte (character 0) in the text; a score is plain text, and nothing after it "
                      "would be read";
    return false;
}

const char* song_error()
{
    return Song.error.c_str();
}
