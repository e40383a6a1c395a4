// Note table: the pattern keywords of a score and the cell values they give.
//
// Owns NoteTable, 78 entries in a fixed order: the 72 note names c1 ... b6
// (uppercase letters are sharps: C is c sharp; there is no E or B), the five
// commands, and the end entry "0" that never matches a field. A note's value
// is its frequency in whole Hz. Only octave 6 is fixed data; synth_init
// (synth.h) fills octaves 5 down to 1 by halving, so no song may be parsed
// before synth_init has run.
//
// Interface: note_table_fill() (called by synth_init), note_lookup(field),
// and note_hint(field) for the checker's messages.
#pragma once

#include <cstdint>
#include <string>

// Cell values of a pattern besides notes (which are positive frequencies).
inline constexpr int32_t CellEmpty = 0;
inline constexpr int32_t PatternEnd = -2;
inline constexpr int32_t CmdEcho1 = -4;
inline constexpr int32_t CmdEcho0 = -5;
inline constexpr int32_t CmdStop = -6;
inline constexpr int32_t CmdVol = -7;
inline constexpr int32_t CmdSld = -8;

struct NoteEntry {
    const char* name;
    int32_t value;
};

inline constexpr int32_t NoteCount = 72;       // 6 octaves of 12 notes
inline constexpr int32_t NoteTableSize = 78;   // notes, 5 commands, end entry

// Octave 6 is given; octaves 1..5 are 0 until note_table_fill() runs.
inline NoteEntry NoteTable[NoteTableSize] = {
    {"c1", 0}, {"C1", 0}, {"d1", 0}, {"D1", 0}, {"e1", 0}, {"f1", 0},
    {"F1", 0}, {"g1", 0}, {"G1", 0}, {"a1", 0}, {"A1", 0}, {"b1", 0},
    {"c2", 0}, {"C2", 0}, {"d2", 0}, {"D2", 0}, {"e2", 0}, {"f2", 0},
    {"F2", 0}, {"g2", 0}, {"G2", 0}, {"a2", 0}, {"A2", 0}, {"b2", 0},
    {"c3", 0}, {"C3", 0}, {"d3", 0}, {"D3", 0}, {"e3", 0}, {"f3", 0},
    {"F3", 0}, {"g3", 0}, {"G3", 0}, {"a3", 0}, {"A3", 0}, {"b3", 0},
    {"c4", 0}, {"C4", 0}, {"d4", 0}, {"D4", 0}, {"e4", 0}, {"f4", 0},
    {"F4", 0}, {"g4", 0}, {"G4", 0}, {"a4", 0}, {"A4", 0}, {"b4", 0},
    {"c5", 0}, {"C5", 0}, {"d5", 0}, {"D5", 0}, {"e5", 0}, {"f5", 0},
    {"F5", 0}, {"g5", 0}, {"G5", 0}, {"a5", 0}, {"A5", 0}, {"b5", 0},
    {"c6", 1047}, {"C6", 1109}, {"d6", 1175}, {"D6", 1245}, {"e6", 1319}, {"f6", 1397},
    {"F6", 1480}, {"g6", 1568}, {"G6", 1661}, {"a6", 1760}, {"A6", 1864}, {"b6", 1976},
    {"echo1", CmdEcho1}, {"echo0", CmdEcho0}, {"stop", CmdStop}, {"vol", CmdVol}, {"sld", CmdSld},
    {"0", 0},
};

// Octaves 5 down to 1: each note is the same note an octave higher halved with
// truncation, so the rounding accumulates (c: 1047, 523, 261, 130, 65, 32).
void note_table_fill();

// The cell value of a pattern field: the value of the table entry whose name
// equals it exactly (case-sensitive), or CellEmpty when none does. The end
// entry "0" is never compared.
int32_t note_lookup(const char* field);

// For a field that is not in the table, the nearest spelling the table
// accepts, in words: "sharps are capitals: C3" for c#3, the neighbours of a
// note the table lacks (E3: e3 or f3), the octave range, a command in the
// wrong case or misspelt by one letter. Empty when nothing is near.
std::string note_hint(const char* field);
