#!/usr/bin/env bash
# Bundles the studio page's script: the sources in src/ and the CodeMirror
# packages pinned in package-lock.json into one file with no imports left.
#   bundle.sh WORK_DIR OUT_FILE
# WORK_DIR keeps the installed packages between runs: npm ci runs again only
# when package-lock.json has changed (it needs registry.npmjs.org, or npm's
# cache, that once). The web build (web/CMakeLists.txt) runs this.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1 out=$2
mkdir -p "$work"
if ! cmp -s "$here/package-lock.json" "$work/installed-lock.json"; then
    cp "$here/package.json" "$here/package-lock.json" "$work/"
    (cd "$work" && npm ci --no-audit --no-fund --loglevel=error)
    cp "$here/package-lock.json" "$work/installed-lock.json"
fi
# esbuild looks for packages beside the sources first: the sources are read
# from a copy inside the work folder.
rm -rf "$work/src" && cp -r "$here/src" "$work/src"
"$work/node_modules/.bin/esbuild" "$work/src/main.js" --bundle --format=iife --minify --target=es2020 \
    --log-level=warning --outfile="$out"
