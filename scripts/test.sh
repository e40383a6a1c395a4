#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite, including
# the end-to-end runs of the real programs (headless and under Xvfb) and the
# fuzz targets; then builds the suite again with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-sanitize/ and runs it there (without the
# fuzz targets, which always run under both, and without the browser and
# package checks, which test other builds). Arguments go to both ctest
# runs; VELOMIRA_SANITIZE=0 skips the second build.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
(cd build && ctest --output-on-failure -j"$(nproc)" "$@")

[[ ${VELOMIRA_SANITIZE:-1} == 0 ]] && exit 0
# Any finding ends the program with a report. LeakSanitizer ignores only what
# libSDL2 and libdbus keep from setting up the screen (scripts/lsan.supp).
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Release -DVELOMIRA_SANITIZE=ON -DVELOMIRA_BENCH=OFF >/dev/null
cmake --build build-sanitize -j"$(nproc)"
cd build-sanitize
ctest --output-on-failure -j"$(nproc)" -LE 'fuzz|web|package' -E '^DemoWindow[.]' "$@"
# The demo in an X window: SDL loads and unloads its X11 and D-Bus libraries
# itself, so what they keep is reported with unknown frames that no
# suppression can name. These runs check addresses and undefined behaviour
# only; the headless runs of the demo keep the leak check.
ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j"$(nproc)" -R '^DemoWindow[.]' "$@"
