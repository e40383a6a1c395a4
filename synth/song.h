// Song parser and song model (minimal until the synthesizer lands).
#pragma once

// Parses a modifiable NUL-terminated song text in place. Negative on rejection.
int song_parse(char* text);
// Reads a whole file and parses it; -1 when it cannot be opened.
int song_load(const char* path);
// The message of the last rejection ("" when the last parse succeeded).
const char* song_error();
