#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in their own build folder, and runs them.
#
#   scripts/fuzz.sh build          # configure and build both targets
#   scripts/fuzz.sh run song       # song_parse, then a render of the accepted songs
#   scripts/fuzz.sh run check      # velomira-song check on the same inputs
#   scripts/fuzz.sh song           # build, then run
#   FUZZ_SECONDS=600 scripts/fuzz.sh check     # ten minutes instead of a count
#
# A run starts from the checked-in seeds plus the embedded score and tries a
# fixed number of inputs (FUZZ_RUNS, default 20000 for each target:
# a few minutes each on the CI machine). Environment: FUZZ_BUILD_DIR
# (default build-fuzz), CC and CXX (clang, clang++). Exits non-zero when the
# fuzzer finds a crash, a leak, a timeout or undefined behaviour; the input
# that did it is left in the build folder as crash-*, leak-* or timeout-*.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
fuzz=$root/tests/synth/fuzz

build_targets() {
    local flags="-g -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER="${CC:-clang}" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
        -DVELOMIRA_FUZZ=ON -DVELOMIRA_BENCH=OFF >/dev/null
    cmake --build "$build" -j2 --target velomira_fuzz_song velomira_fuzz_check velomira_fuzz_write_embedded
}

run_target() {
    local target=$1 runs
    case $target in
        song) runs=${FUZZ_RUNS:-20000} ;;
        check) runs=${FUZZ_RUNS:-20000} ;;
        *) echo "fuzz.sh: unknown target '$target' (song or check)" >&2; exit 2 ;;
    esac
    local limit=(-runs="$runs")
    [[ -n ${FUZZ_SECONDS:-} ]] && limit=(-max_total_time="$FUZZ_SECONDS")

    # A fresh working corpus each run, grown from the seeds and the score the
    # demo plays.
    local corpus=$build/corpus-$target seeds=$build/seeds-embedded
    rm -rf "$corpus" "$seeds"
    mkdir -p "$corpus" "$seeds"
    "$build/tests/synth/fuzz/velomira_fuzz_write_embedded" "$seeds/embedded-score.txt"
    cd "$build"
    local start=$SECONDS status=0
    "$build/tests/synth/fuzz/velomira_fuzz_$target" "$corpus" "$fuzz/seeds" "$seeds" \
        -dict="$fuzz/song.dict" "${limit[@]}" -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
        -artifact_prefix="$build/" -print_final_stats=1 >"$build/fuzz-$target.log" 2>&1 || status=$?
    grep -E '^(INFO: Seed|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' \
        "$build/fuzz-$target.log" || true
    times >"$build/times-$target"   # second line: CPU time of the fuzzer, user and system
    echo "fuzz $target: $((SECONDS - start)) s, CPU $(tail -n 1 "$build/times-$target"), exit status $status"
    if [[ $status -ne 0 ]]; then
        tail -n 60 "$build/fuzz-$target.log"
        exit "$status"
    fi
}

case ${1:-} in
    build) build_targets ;;
    run) run_target "${2:-}" ;;
    song | check) build_targets >/dev/null && run_target "$1" ;;
    *) echo "usage: scripts/fuzz.sh build | run song|check | song|check" >&2; exit 2 ;;
esac
