#!/usr/bin/env bash
# Builds the Debian package velomira_<version>_amd64.deb.
#
#   scripts/package.sh [BUILD_DIR]
#
# BUILD_DIR (default build-package/) is configured for a release build of the
# programs alone unless it is already configured, in which case it is used as
# it is (the package test uses the suite's own build folder this way). The
# package is left in BUILD_DIR and its path printed on standard output.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-package}")

if [ ! -f "$build/CMakeCache.txt" ]; then
    "$root/scripts/install-deps.sh" package
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
        -DVELOMIRA_TOOLS=ON -DVELOMIRA_TESTS=OFF -DVELOMIRA_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" >&2
cd "$build"
rm -f velomira_*_amd64.deb
cpack -G DEB -B "$build" >&2
ls "$build"/velomira_*_amd64.deb
