#!/bin/sh
# The finished video against the README's pipe recipe (Y4M and WAV into the
# ffmpeg program, its default x264 settings) on the same frames: the whole
# show unless FRAMES=A:B is given. Each round runs both, one after the other,
# in a scratch folder; the medians of the wall times and their ratio are
# printed, with the CPU seconds and the file sizes of the last round.
#
#   bench/capture_video.sh build/tools/velomira-capture/velomira-capture [ROUNDS]
set -eu
capture=${1:?usage: capture_video.sh CAPTURE [ROUNDS]}
capture=$(cd "$(dirname "$capture")" && pwd)/$(basename "$capture")   # the runs are in a scratch folder
rounds=${2:-3}
range=${FRAMES:+--frames $FRAMES}
scratch=$(mktemp -d)
trap 'rm -r "$scratch"' EXIT
cd "$scratch"

run() {   # name, command line: appends the wall seconds to name.wall
    /usr/bin/time -f '%e %U %S' -o "$1.time" sh -c "$2"
    cut -d' ' -f1 "$1.time" >>"$1.wall"
    awk '{ print $2 + $3 }' "$1.time" >"$1.cpu"
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

uptime
for round in $(seq "$rounds"); do
    run video "'$capture' -q $range --video video.mp4"
    run recipe "'$capture' -q $range --wav recipe.wav --y4m - |
        ffmpeg -v error -y -i - -i recipe.wav -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest recipe.mp4"
done
video=$(median <video.wall)
recipe=$(median <recipe.wall)
printf -- '--video video.mp4   %7.1f s wall (median of %d), %6.1f s CPU, %s bytes\n' "$video" "$rounds" \
    "$(cat video.cpu)" "$(stat -c %s video.mp4)"
printf -- 'pipe recipe         %7.1f s wall (median of %d), %6.1f s CPU, %s bytes\n' "$recipe" "$rounds" \
    "$(cat recipe.cpu)" "$(stat -c %s recipe.mp4)"
printf -- '--video is %.2f times as fast\n' "$(echo "$recipe / $video" | bc -l)"
uptime
