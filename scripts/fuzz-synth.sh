#!/usr/bin/env bash
# Builds the song parser fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in its own build directory and runs it briefly.
#
#   scripts/fuzz-synth.sh               # about 25 seconds
#   FUZZ_SECONDS=600 scripts/fuzz-synth.sh
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz-synth), FUZZ_SECONDS (25),
# CXX (clang++). Exits non-zero when the fuzzer finds a crash, a leak or
# undefined behaviour; the reproducer is left in the build directory.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz-synth}
seconds=${FUZZ_SECONDS:-25}
fuzz=$root/tests/synth/fuzz

cmake -S "$fuzz" -B "$build" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null

# A fresh working corpus each run, grown from the checked-in seeds.
corpus=$build/corpus
rm -rf "$corpus"
mkdir -p "$corpus"
cd "$build"
./velomira_fuzz_song "$corpus" "$fuzz/seeds" \
    -dict="$fuzz/song.dict" -max_total_time="$seconds" -max_len=4096 \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 2>&1 | tail -n 12
