#!/usr/bin/env bash
# Builds the Debian package in a build folder and checks what it holds, without installing it.
#   tests/package/check_deb.sh BUILD_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb="$(ls "$work"/flashtool_*.deb 2>/dev/null | head -1)"
[ -n "$deb" ] || { echo "no package"; cat "$work/cpack.log"; exit 1; }
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
passed=0
failed=0
for expected in /usr/bin/flashtool /usr/bin/unitsim /usr/bin/QuorvaneIAP "/usr/bin/Flash_LB1~6K" \
    /usr/share/applications/QuorvaneIAP.desktop /usr/share/applications/Flash_LB1-6K.desktop \
    /usr/share/mime/packages/flashtool-mot.xml \
    /usr/share/icons/hicolor/48x48/apps/kestrune-flashtool.png \
    /usr/share/man/man1/flashtool.1 /usr/share/bash-completion/completions/flashtool \
    /usr/share/doc/flashtool/copyright; do
    if grep -qxF "$expected" "$work/files"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "missing: $expected"
    fi
done
# Only programs in bin/, nothing outside /usr.
if grep -v '/$' "$work/files" | grep -v '^/usr/' | grep -q .; then
    failed=$((failed + 1))
    echo "files outside /usr"
fi
if grep '^/usr/lib' "$work/files" | grep -q .; then
    failed=$((failed + 1))
    echo "libraries installed"
fi
# Dependencies come from the binaries.
depends="$(dpkg-deb -f "$deb" Depends)"
for library in libc6 libqt6widgets6; do
    if [[ "$depends" == *"$library"* ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "Depends lacks $library: $depends"
    fi
done
echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
