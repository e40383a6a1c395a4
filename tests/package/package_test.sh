#!/usr/bin/env bash
# Checks of the Debian package, one per CTest test:
#   package_test.sh builds DEB PACKAGE_SH BUILD_DIR   package.sh makes DEB
#   package_test.sh contents DEB                      files, link, Depends
#   package_test.sh runs DEB BUILT_SONG_TOOL          programs run unpacked
#   package_test.sh lintian DEB                       no lintian errors
# Exit 77 means skipped (a checking tool is missing).
set -euo pipefail
step=$1 deb=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

case "$step" in
builds)
    made=$("$3" "$4" | tail -n 1)
    [ "$made" = "$deb" ] || fail "package.sh made '$made', expected $deb"
    dpkg-deb --info "$deb" >/dev/null || fail "$deb is not a Debian package"
    ;;

contents)
    listing=$(dpkg-deb --contents "$deb")
    for path in ./usr/bin/velomira ./usr/bin/velomira-song ./usr/bin/velomira-capture \
        ./usr/share/man/man1/velomira.1.gz ./usr/share/man/man1/velomira-song.1.gz \
        ./usr/share/man/man1/velomira-capture.1.gz \
        ./usr/share/doc/velomira/README.md ./usr/share/doc/velomira/song-format.md \
        ./usr/share/doc/velomira/copyright ./usr/share/doc/velomira/changelog.gz \
        ./usr/share/applications/velomira.desktop \
        ./usr/share/icons/hicolor/128x128/apps/velomira.png; do
        grep -q " $path\$" <<<"$listing" || fail "$path missing from the package:"$'\n'"$listing"
    done
    grep -q '^l.* ./usr/bin/velomiraw -> velomira$' <<<"$listing" || fail "no link velomiraw -> velomira"
    grep -q '^l.* ./usr/share/man/man1/velomiraw.1.gz -> velomira.1.gz$' <<<"$listing" ||
        fail "no manual page link for velomiraw"
    # Nothing of the tests, benchmarks or build tree goes in.
    ! grep -Eq 'test|bench|CMake|\.a$|include/' <<<"$listing" || fail "unexpected files:"$'\n'"$listing"

    depends=$(dpkg-deb --field "$deb" Depends)
    for lib in libsdl1.2-compat-shim libsdl1.2debian libsndfile1 libpng16; do
        grep -q "\\b$lib" <<<"$depends" || fail "Depends does not name $lib: $depends"
    done
    [ "$(dpkg-deb --field "$deb" Package)" = velomira ] || fail "package name"
    [ "$(dpkg-deb --field "$deb" Architecture)" = amd64 ] || fail "architecture"
    [ -n "$(dpkg-deb --field "$deb" Maintainer)" ] || fail "no maintainer"
    ;;

runs)
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    dpkg-deb -x "$deb" "$scratch/root"
    bin=$scratch/root/usr/bin
    # The packaged synthesizer renders the demo's music exactly as the build's does.
    (cd "$scratch" && "$bin/velomira-song" render - packaged.wav 2>/dev/null) || fail "packaged velomira-song render failed"
    (cd "$scratch" && "$3" render - built.wav 2>/dev/null) || fail "built velomira-song render failed"
    [ "$(stat -c %s "$scratch/packaged.wav")" -gt 10000000 ] || fail "packaged render is too short"
    cmp "$scratch/packaged.wav" "$scratch/built.wav" || fail "packaged and built renders differ"

    "$bin/velomira" --help >"$scratch/help" || fail "velomira --help exited $?"
    grep -q '^Usage: velomira' "$scratch/help" || fail "velomira --help printed: $(cat "$scratch/help")"
    version=$("$bin/velomiraw" --version) || fail "velomiraw --version exited $?"
    [ "$version" = "velomira $(dpkg-deb --field "$deb" Version)" ] || fail "--version printed '$version'"
    "$bin/velomira-capture" --help >/dev/null || fail "velomira-capture --help exited $?"
    ;;

lintian)
    command -v lintian >/dev/null || { echo "lintian is not installed" >&2; exit 77; }
    # Errors fail; warnings are listed for the log (README explains the kept ones).
    lintian --fail-on error --display-info "$deb"
    ;;

*)
    fail "unknown step $step"
    ;;
esac
