#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything (programs,
# tests, benchmarks) into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh all
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELOMIRA_TOOLS=ON -DVELOMIRA_TESTS=ON -DVELOMIRA_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
