#!/bin/bash
# Launch of the demo to its first frame, headless: the real program with
# SDL's dummy video and disk audio (written to /dev/null), run RUNS times,
# with the median of each moment printed in milliseconds since the start:
# SDL initialised, the audio device open, the first progress dot, the line
# feed after the last one, the screen opened, the first frame flipped. A small preloaded library
# (bench/launch_first_frame.c, compiled here) notes the moments and ends the
# program after its first frame. Each run's output must be the 61 dots and
# a line feed, or the script fails.
#
#   bench/launch.sh build/driver/velomira [RUNS]
set -eu
demo=${1:?usage: launch.sh VELOMIRA [RUNS]}
runs=${2:-11}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cc -O2 -shared -fPIC -o "$scratch/first_frame.so" "$here/launch_first_frame.c" -ldl

median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

expected=$(printf '%061d' 0 | tr 0 .)
for run in $(seq "$runs"); do
    rm -f "$scratch/report"
    LAUNCH_REPORT="$scratch/report" LAUNCH_T0=${EPOCHREALTIME/[.,]/} \
        SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null \
        LD_PRELOAD="$scratch/first_frame.so" "$demo" -w >"$scratch/out" 2>"$scratch/err" </dev/null
    if [ "$(cat "$scratch/out")" != "$expected" ] || [ ! -s "$scratch/report" ]; then
        echo "launch.sh: run $run did not print the 61 dots and reach a frame:" >&2
        cat "$scratch/out" "$scratch/err" >&2
        exit 1
    fi
    cat "$scratch/report" >>"$scratch/all"
done
column() { awk -v key="$1" '{ for (i = 1; i < NF; ++i) if ($i == key) print $(i + 1) }' "$scratch/all" | median; }
echo "$runs runs, median ms since start: SDL_Init $(column init), audio open $(column audio)," \
     "first dot $(column first-dot), last dot $(column last-flush)," \
     "screen $(column screen), first frame $(column first-frame)"
echo "load: $(uptime | sed 's/.*load average/load average/')"
