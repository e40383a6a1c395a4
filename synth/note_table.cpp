#include "synth/note_table.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

void note_table_fill()
{
    for (int32_t i = NoteCount - 12 - 1; i >= 0; --i)
        NoteTable[i].value = NoteTable[i + 12].value / 2;
}

int32_t note_lookup(const char* field)
{
    int32_t value = CellEmpty;
    for (int32_t i = 0; i < NoteTableSize - 1; ++i)
        if (std::strcmp(NoteTable[i].name, field) == 0)
            value = NoteTable[i].value;
    return value;
}

namespace {

constexpr const char* Letters = "cdefgab";

bool is_note_letter(char c)
{
    return c != '\0' && std::strchr(Letters, c | 0x20) != nullptr;
}

// A note as the table spells it: the lowercase letter, or the uppercase one
// for its sharp, then the octave.
std::string spelled(char letter, bool sharp, int32_t octave)
{
    return std::string(1, sharp ? char(letter & ~0x20) : letter) + std::to_string(octave);
}

// The note a semitone above or below (letter lowercase, octave 1..6) as the
// table spells it; empty past either end of the table.
std::string neighbour(char letter, bool sharp, int32_t octave, int32_t step)
{
    static const char* const names[12] = {"c", "C", "d", "D", "e", "f", "F", "g", "G", "a", "A", "b"};
    int32_t index = 0;
    while (names[index][0] != (sharp ? char(letter & ~0x20) : letter))
        ++index;
    const int32_t at = (octave - 1) * 12 + index + step;
    if (at < 0 || at >= NoteCount)
        return "";
    return names[at % 12] + std::to_string(at / 12 + 1);
}

// Levenshtein distance with adjacent transpositions, for short words.
int32_t edit_distance(const std::string& a, const std::string& b)
{
    std::vector<std::vector<int32_t>> d(a.size() + 1, std::vector<int32_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = int32_t(i);
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = int32_t(j);
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// A note-like field: a letter, an accidental or none, then an octave
// (digits, possibly none). Spellings of notes the table may lack.
std::string note_like_hint(const char* field)
{
    const char letter = char(field[0] | 0x20);
    const bool capital = field[0] != letter;
    const char* rest = field + 1;
    const char accidental = *rest == '#' || (*rest == 'b' && rest[1] >= '0' && rest[1] <= '9') ? *rest++ : 0;
    if (std::strspn(rest, "0123456789") != std::strlen(rest))
        return "";
    if (*rest == '\0')
        return "a note needs an octave, 1 to 6: " + spelled(letter, false, 4);
    const long octave = std::strtol(rest, nullptr, 10);
    if (std::strlen(rest) > 2 || octave < 1 || octave > 6)
        return "octaves are 1 to 6, from c1 (32 Hz) to b6 (1976 Hz)";
    const int32_t o = int32_t(octave);
    const bool noSharp = letter == 'e' || letter == 'b';
    if (accidental == '#' && capital && !noSharp)
        return "sharps are capitals without #: " + spelled(letter, true, o);
    if (accidental == '#') {
        if (!noSharp)
            return "sharps are capitals: " + spelled(letter, true, o);
        const std::string up = neighbour(letter, false, o, 1);
        return std::string("there is no ") + char(letter & ~0x20) + " (" + letter + " sharp)" +
               (up.empty() ? "" : "; the same pitch is " + up);
    }
    if (accidental == 'b') {
        const std::string down = neighbour(letter, false, o, -1);
        return down.empty() ? "flats are written as the sharp below, and " + spelled(letter, false, o) +
                                  " is the lowest note"
                            : "flats are written as the note below: " + down;
    }
    // A capital E or B: the sharps the table lacks.
    const std::string down = neighbour(letter, false, o, 0), up = neighbour(letter, false, o, 1);
    return std::string("there is no ") + field[0] + " (" + letter + " sharp); " +
           (up.empty() ? "the nearest note is " + down : "its neighbours are " + down + " and " + up);
}

}   // namespace

std::string note_hint(const char* field)
{
    if (is_note_letter(field[0])) {
        std::string hint = note_like_hint(field);
        if (!hint.empty())
            return hint;
    }
    // The commands, in the wrong case or one slip away.
    std::string lower(field);
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    for (int32_t i = NoteCount; i < NoteTableSize - 1; ++i)
        if (lower == NoteTable[i].name)
            return std::string("commands are lowercase: ") + NoteTable[i].name;
    if (lower == "echo")
        return "echo1 (echo on) or echo0 (echo off)";
    for (int32_t i = NoteCount; i < NoteTableSize - 1; ++i)
        if (lower.size() >= 3 && edit_distance(lower, NoteTable[i].name) == 1)
            return std::string("did you mean ") + NoteTable[i].name + "?";
    if (std::strspn(field, "0123456789") == std::strlen(field))
        return "a bare number is not a note; write 00 for an empty row";
    return "";
}
