// velomira-song play in a terminal: single key presses in raw mode, the
// status line (bar:row, time, a meter per track, the key hints) and the keys
// (space pauses, left and right move one bar, q quits), all given back as
// they were on every way out.
//
// Owns Terminal: what stdin and stdout are and what was changed on them.
// Keys and the status line only while play is the terminal's foreground
// job: a job in the background neither changes the mode nor reads (either
// would stop it with SIGTTOU or SIGTTIN) nor draws over the shell.
//
// Order of use, on the main thread: terminal_open once; then each pass of
// play's loop terminal_stop_if_asked (Ctrl+Z: the terminal given back
// before the stop), terminal_take_keys (raw mode again after a continue),
// terminal_read_keys and terminal_draw_status; terminal_release (also by the
// destructor) gives everything back. The keys act on Player (play.h).
#pragma once

#include "take.h"

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct Terminal {
    bool keysTty = false;     // stdin is a terminal
    bool statusTty = false;   // stdout is a terminal
    bool escapes = true;      // it understands escape sequences (TERM is not dumb)
    bool utf8 = true;         // the locale's character set is UTF-8: blocks and arrows
    bool raw = false;         // stdin is in the raw mode set here; saved is the mode to give back
    bool drawing = false;     // the status line is on screen (and the cursor hidden)
    size_t drawn = 0;         // columns of the last line drawn, for padding over it
    termios saved{};

    Terminal() = default;
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    ~Terminal();
};

// What stdin and stdout are, whether escapes and UTF-8 can be shown.
void terminal_open(Terminal& terminal);
// Raw mode, when play is in the foreground and the mode is not raw already.
void terminal_take_keys(Terminal& terminal);
// The saved mode back, the status line cleared and the cursor shown.
void terminal_release(Terminal& terminal);
// After a Ctrl+Z: the terminal given back, then the stop; returns after the
// continue.
void terminal_stop_if_asked(Terminal& terminal);
// The keys waiting, never more; quit set by q.
void terminal_read_keys(const Terminal& terminal, const Take& take, bool& quit);
// The status line when message is empty; otherwise its first line: alone
// (the last bad save's message), or after the clock when playing (the
// take's first warning).
void terminal_draw_status(Terminal& terminal, const Take& take, uint32_t heard, const std::string& message,
                          bool playing);
