#!/usr/bin/env bash
# The browser build against the native programs, in headless Chromium.
#   web_test.sh build SOURCE_DIR WEB_BUILD_DIR          emcmake configure and build (the tests' fixture)
#   web_test.sh song SITE SCRATCH VELOMIRA_SONG           the page's song = velomira-song render -
#   web_test.sh frames SITE SCRATCH VELOMIRA_CAPTURE N... screenshots of ?frame=N = velomira-capture --png
#   web_test.sh play SITE                                 loading, starting, controlling and ending the show
#   web_test.sh broken SITE                               a program that does not load is said so
#   web_test.sh shared SITE SCRATCH SCORE SONG CAPTURE N  a link carrying SCORE plays its song and show
#   web_test.sh studio-edit SITE SCRATCH SCORE SONG CAPTURE N   the studio: SCORE typed in and edited
#                                                 renders as velomira-song, frame N as velomira-capture
#   web_test.sh studio-share SITE SCRATCH SCORE SONG CAPTURE N  the studio's share link in a new page
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# Debian's node does not search Debian's module folder, which emcc needs.
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}

mode=$1
shift

# Frame N of velomira-capture (SCRATCH/native) against a screenshot; the PNGs
# are paletted, the screenshots RGB: compare counts the pixels whose colours
# differ. Sets status=1 on a difference.
same_frame() {
    local scratch=$1 frame=$2 web=$3 what=$4 native differ
    native=$(printf '%s/native/frame-%05d.png' "$scratch" "$frame")
    differ=$(compare -metric AE "$native" "$web" null: 2>&1) || true
    if [ "$differ" != 0 ]; then
        echo "FAIL: $what $frame: $differ pixels differ from velomira-capture (kept in $scratch)" >&2
        status=1
    fi
}
case "$mode" in
build)
    emcmake cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$2" -j2
    ;;
song)
    site=$1 scratch=$2 song_tool=$3
    rm -rf "$scratch" && mkdir -p "$scratch"
    "$song_tool" render - "$scratch/song.wav" 2>/dev/null
    node "$here/browser_check.mjs" "$site" song "$scratch/song.wav"
    rm -rf "$scratch"
    ;;
frames)
    site=$1 scratch=$2 capture=$3
    shift 3
    rm -rf "$scratch" && mkdir -p "$scratch/native"
    # One native run up to the last frame asked for, beside the browser's.
    last=$(printf '%s\n' "$@" | sort -n | tail -1)
    "$capture" -q --png "$scratch/native" --frames "0:$((last + 1))" >/dev/null &
    native_run=$!
    status=0
    node "$here/browser_check.mjs" "$site" frames "$scratch" "$@" || status=1
    wait $native_run || status=1
    for n in "$@"; do
        same_frame "$scratch" "$n" "$scratch/web-$n.png" frame
    done
    [ $status -eq 0 ] && rm -rf "$scratch"
    exit $status
    ;;
play)
    node "$here/browser_check.mjs" "$1" play
    ;;
broken)
    node "$here/browser_check.mjs" "$1" broken
    ;;
shared)
    site=$1 scratch=$2 score=$3 song_tool=$4 capture=$5 frame=$6
    rm -rf "$scratch" && mkdir -p "$scratch/native"
    "$capture" -q --song "$score" --png "$scratch/native" --frames "$frame:$((frame + 1))" >/dev/null &
    native_run=$!
    status=0
    node "$here/browser_check.mjs" "$site" shared "$score" "$song_tool" "$scratch" "$frame" || status=1
    wait $native_run || status=1
    same_frame "$scratch" "$frame" "$scratch/web-$frame.png" "shared frame"
    [ $status -eq 0 ] && rm -rf "$scratch"
    exit $status
    ;;
studio-edit | studio-share)
    site=$1 scratch=$2 score=$3 song_tool=$4 capture=$5 frame=$6
    rm -rf "$scratch" && mkdir -p "$scratch/native"
    status=0
    node "$here/studio_check.mjs" "$site" "${mode#studio-}" "$score" "$song_tool" "$scratch" "$frame" || status=1
    # The text the page played: the edited one, or the score as shared.
    if [ "$mode" = studio-edit ]; then played=$scratch/edited.txt web=$scratch/studio-$frame.png
    else played=$scratch/shared.txt web=$scratch/shared-$frame.png; fi
    if [ -f "$played" ] && [ -f "$web" ]; then
        "$capture" -q --song "$played" --png "$scratch/native" --frames "$frame:$((frame + 1))" >/dev/null || status=1
        same_frame "$scratch" "$frame" "$web" "studio frame"
    else
        status=1
    fi
    [ $status -eq 0 ] && rm -rf "$scratch"
    exit $status
    ;;
*)
    echo "web_test.sh: unknown mode $mode" >&2
    exit 2
    ;;
esac
