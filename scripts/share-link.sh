#!/usr/bin/env bash
# Prints the address that plays a score in the browser build: the page's
# address (default http://127.0.0.1:8000/, as scripts/web.sh serves it) with
# the score in its fragment, compressed (raw deflate) and in base64url, so no
# server ever sees it.
#   scripts/share-link.sh mysong.txt [PAGE_ADDRESS]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 SCORE [PAGE_ADDRESS]" >&2; exit 2; }
[ -r "$1" ] || { echo "$0: $1: cannot read" >&2; exit 1; }
page=${2:-http://127.0.0.1:8000/}
python3 - "$1" "$page" <<'PY'
import base64, sys, zlib
text = open(sys.argv[1], 'rb').read()
packer = zlib.compressobj(9, zlib.DEFLATED, -15)
packed = packer.compress(text) + packer.flush()
print(sys.argv[2] + '#score=' + base64.urlsafe_b64encode(packed).decode().rstrip('='))
PY
