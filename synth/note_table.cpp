#include "synth/note_table.h"

#include <cstring>

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
