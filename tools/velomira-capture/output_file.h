// An output file that appears only when it is complete: written under a
// temporary name beside its destination and renamed into place by commit().
// Dropping it without a commit removes the temporary file.
#pragma once

#include <cstdio>
#include <string>

struct OutputFile {
    std::string path;       // destination
    std::string tempPath;   // where it is written until commit
    std::FILE* file = nullptr;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { discard(); }

    // Creates the temporary file; on failure returns false and sets error.
    bool open(const std::string& destination, std::string& error);
    // Closes and renames into place; on failure removes the temporary file.
    bool commit(std::string& error);
    // Closes and removes the temporary file, if any.
    void discard();
};

// "strerror(errno)" as a string, for messages.
std::string errno_text();
