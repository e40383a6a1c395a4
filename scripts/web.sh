#!/usr/bin/env bash
# Installs what is missing, builds the browser version into build-web/site/
# and serves that folder on http://127.0.0.1:PORT/ (default 8000) until Ctrl+C.
# The folder is static: any web server can serve it instead.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
# Debian's node does not search Debian's module folder, which emcc needs.
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}
emcmake cmake -S . -B build-web -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-web -j"$(nproc)"
port=${PORT:-8000}
echo "Velomira: open http://127.0.0.1:$port/ (Ctrl+C stops the server)"
exec python3 -m http.server "$port" --bind 127.0.0.1 --directory build-web/site
