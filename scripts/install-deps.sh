#!/usr/bin/env bash
# Installs the Debian packages Velomira needs.
#
#   scripts/install-deps.sh play      what building and playing the demo needs
#   scripts/install-deps.sh package   that, the tools' libraries, and what
#                                     building the Debian package needs
#   scripts/install-deps.sh           everything: also the tests, benchmarks,
#                                     fuzzing and the package checks
#
# Idempotent: asks apt only for what is missing, and refreshes the package
# lists only when something has to be installed.
set -euo pipefail

play=(
    build-essential cmake pkg-config
    libsdl1.2-compat-dev
)
package=(
    "${play[@]}"
    libsndfile1-dev libpng-dev libcli11-dev libebur128-dev
    libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
    file
)
all=(
    "${package[@]}"
    libgtest-dev libbenchmark-dev ffmpeg
    xvfb xdotool x11-utils tmux
    clang libclang-rt-14-dev
    lintian
    emscripten chromium imagemagick nodejs npm
)

case "${1:-all}" in
    play) packages=("${play[@]}") ;;
    package) packages=("${package[@]}") ;;
    all) packages=("${all[@]}") ;;
    *) echo "usage: $0 [play|package|all]" >&2; exit 2 ;;
esac

# Node.js and npm count as present when their commands are, however they
# came (a machine may carry another vendor's Node.js, whose package conflicts
# with Debian's npm).
present() {
    case "$1" in
    nodejs) command -v node >/dev/null ;;
    npm) command -v npm >/dev/null ;;
    *) dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed' ;;
    esac
}

missing=()
for p in "${packages[@]}"; do
    present "$p" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
