// Output files for the command-line tools (velomira-capture, velomira-song):
// a file appears only when it is complete, a failed or interrupted run leaves
// everything as it was, and a device is never replaced by a regular file.
//
// OutputFile owns one destination. open() chooses how it is written:
//   - a new path, or an existing regular file: under a temporary name beside
//     it ("NAME.partial-XXXXXX"), renamed into place when complete. A symbolic
//     link is followed, so the link stays and its target is replaced;
//   - an existing path that is not a regular file (a device such as
//     /dev/null, a FIFO, a terminal) or a name for an open descriptor
//     (/dev/stdout, /dev/fd/N, /proc/...): opened and written directly, in
//     order. Nothing can be taken back there.
// Write through `file`, then either
//   - commit(): put the file in place for good (one output, done); or
//   - place(): put it in place now but keep the file it replaced aside
//     ("NAME.previous-XXXXXX"), then keep() when the whole run has succeeded,
//     or discard() to restore the previous file (or remove the new one).
// discard() before placement removes the temporary file. Dropping an
// OutputFile that was neither committed nor kept discards it, so an early
// return on an error takes everything back.
//
// Signals (tools/common/signals.h): a tool writing outputs polls
// signals_ending() and returns through its normal failure path, which
// discards; a closed pipe or a file size limit is a write error there.
//
// same_file() tells whether two paths name one file (hard or symbolic links
// included, or the same new name, also through a link to it), for refusing an
// output that is an input or two outputs that are one file; output_in_place()
// tells ahead whether open() would write a name directly.
#pragma once

#include <cstdio>
#include <string>

struct OutputFile {
    std::string path;         // destination as given
    std::string target;       // the file that is replaced (symbolic links followed)
    std::string tempPath;     // while written under a temporary name; "" when direct or done
    std::string previousPath; // after place(): the replaced file, kept aside; "" when there was none
    std::FILE* file = nullptr;
    bool direct = false;      // written in place: a device, a FIFO, an open descriptor
    bool placed = false;      // place() done, keep() or discard() not yet

    OutputFile() = default;
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { discard(); }

    // Opens destination for writing as above; on failure returns false and
    // sets error to "cannot write DESTINATION: reason".
    bool open(const std::string& destination, std::string& error);
    // Finishes writing and puts the file in place for good.
    bool commit(std::string& error);
    // Finishes writing and puts the file in place, keeping the replaced one
    // aside until keep() or discard().
    bool place(std::string& error);
    // The run succeeded: drops the replaced file kept by place().
    void keep();
    // Takes back whatever this file changed, as far as possible.
    void discard();
};

// "strerror(errno)" as a string, for messages.
std::string errno_text();

// True when open() would write destination in place: an existing device,
// FIFO or terminal, or a name for an open descriptor. Its name then says
// nothing about what is written into it.
bool output_in_place(const std::string& destination);

// True when a and b name the same file: the same existing file, through any
// links, or the same path once links are followed and it is made absolute
// when neither exists yet.
bool same_file(const std::string& a, const std::string& b);
