// The demo's score, carried inside the program as writable text (the parser
// works on it in place).
#pragma once

extern char EmbeddedSong[];
