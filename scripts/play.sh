#!/usr/bin/env bash
# The quickest way to the picture: installs only what playing needs, builds
# only the demo into build/ (no tools, tests or benchmarks), and plays it.
# Arguments go to the demo: -w plays in a window instead of full screen.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh play
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELOMIRA_TOOLS=OFF -DVELOMIRA_TESTS=OFF -DVELOMIRA_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target velomira
exec ./build/driver/velomira "$@"
