#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite, including
# the end-to-end runs of the real programs (headless and under Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
cd build
ctest --output-on-failure -j"$(nproc)" "$@"
