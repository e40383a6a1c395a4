#!/bin/sh
# What the Y4M stream costs over drawing the frames: the whole show captured
# without output, then as Y4M into a pipe read by cat, each run repeated and
# the medians printed with the ratio: wall time, and the CPU seconds of the
# whole pipeline (capture and cat). Three settings: both cores; one free core
# (the other taken by a busy loop); and everything pinned to one core, where
# the CPU seconds are the wall time of an idle core, whatever else the
# machine runs. BUSY=0 leaves out the last two.
#
#   bench/capture_pipe.sh build/tools/velomira-capture/velomira-capture [RUNS]
#
# Give a second binary as OLD=path to time it in the same rounds, alternating
# with the first, so that a change of load touches both alike.
set -eu
capture=${1:?usage: capture_pipe.sh CAPTURE [RUNS]}
runs=${2:-5}
old=${OLD:-}

seconds() {   # "wall cpu" seconds of a command line, its children included
    /usr/bin/time -f '%e %U %S' -o "$scratch/time" sh -c "$1"
    awk '{ print $1, $2 + $3 }' "$scratch/time"
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# One round of each binary: frames alone, then Y4M into a pipe; prefix runs
# each command (taskset).
measure() {   # label, prefix
    scratch=$(mktemp -d)
    for run in $(seq "$runs"); do
        for bin in "$capture" $old; do
            tag=$(echo "$bin" | cksum | cut -d' ' -f1)
            seconds "$2 '$bin' -q" >>"$scratch/$tag.frames"
            seconds "$2 '$bin' -q --y4m - | $2 cat >/dev/null" >>"$scratch/$tag.y4m"
        done
    done
    for bin in "$capture" $old; do
        tag=$(echo "$bin" | cksum | cut -d' ' -f1)
        for column in 1 2; do
            frames=$(cut -d' ' -f$column "$scratch/$tag.frames" | median)
            y4m=$(cut -d' ' -f$column "$scratch/$tag.y4m" | median)
            kind=$([ $column = 1 ] && echo wall || echo CPU)
            printf '%-10s %-4s %-36s frames %6.2f s   y4m | cat %6.2f s   %+.0f%%\n' "$1" "$kind" "$bin" \
                "$frames" "$y4m" "$(echo "($y4m / $frames - 1) * 100" | bc -l)"
        done
    done
    rm -r "$scratch"
}

uptime
measure "two cores" ""
if [ "${BUSY:-1}" != 0 ]; then
    measure "one core" "taskset -c 0"
    # A busy loop on the second core leaves one core for the capture, its
    # worker and cat.
    taskset -c 1 sh -c 'while :; do :; done' &
    busy=$!
    trap 'kill $busy' EXIT
    measure "one free" ""
fi
uptime
