// How the tools end, by one rule in every tool:
//   - 0: everything asked for was done;
//   - ExitUsage: the command line was refused before any work, with one
//     message: a bad option value (also one the score's show cannot meet,
//     such as a bar or frame past its end), a bad output name, an output
//     that is an input or another output;
//   - ExitFailure: the work failed: an unreadable or rejected score, a
//     write error, an interrupt (the outputs taken back);
//   - velomira-song play, ended by signal N: 128 + N, as a shell reports a
//     process the signal stopped.
#pragma once

inline constexpr int ExitFailure = 1;
inline constexpr int ExitUsage = 2;
