// Reading a tool's command line with CLI11, the same way in every tool: help
// goes to standard output with status 0; anything CLI11 refuses (an unknown
// option, a missing argument, a value where none is taken) is one line on
// stderr, "PROGRAM: what (see --help)", and ExitUsage.
//
// Header only: CLI11 is a header library that only the tools' programs
// include.
#pragma once

#include "tools/common/exit_status.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>

// Parses argv into app; nothing when the tool goes on, else the exit status.
inline std::optional<int> command_line_parse(CLI::App& app, int argc, char** argv, const char* program)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s (see --help)\n", program, e.what());
        return ExitUsage;
    }
    return std::nullopt;
}
