#!/usr/bin/env bash
# Installs what is missing, builds, and plays the demo. Arguments go to the
# demo: -w plays in a window instead of full screen.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
exec ./build/driver/velomira "$@"
