// The demo's score, carried inside the program as a NUL-terminated writable
// text: song_parse works on it in place (it removes blanks and overwrites
// separators), so it can be parsed only once per run. Copy it first to parse
// it again.
#pragma once

extern char EmbeddedSong[];
