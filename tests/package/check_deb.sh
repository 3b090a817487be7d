#!/usr/bin/env bash
# Builds the Debian packages in a build folder and checks what each holds, what it depends on,
# and what lintian says of it, without installing them.
#   tests/package/check_deb.sh BUILD_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log"
    exit 1
}
version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
arch="$(dpkg --print-architecture)"
passed=0
failed=0
check() { # CONDITION_STATUS MESSAGE
    if [ "$1" -eq 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "$2"
    fi
}

# package | files it must hold | libraries its Depends must name | libraries it must not depend on
packages=(
    "flashtool|/usr/bin/flashtool /usr/share/man/man1/flashtool.1.gz
        /usr/share/bash-completion/completions/flashtool|libc6 libstdc++6|libqt6"
    "flashtool-desktop|/usr/bin/QuorvaneIAP /usr/bin/Flash_LB1~6K
        /usr/share/applications/QuorvaneIAP.desktop /usr/share/applications/Flash_LB1-6K.desktop
        /usr/share/mime/packages/flashtool-mot.xml
        /usr/share/icons/hicolor/48x48/apps/kestrune-flashtool.png
        /usr/share/man/man1/QuorvaneIAP.1.gz /usr/share/man/man1/Flash_LB1~6K.1.gz
        |libc6 libqt6widgets6 libqt6gui6 libqt6core6 qt6-qpa-plugins|"
    "unitsim|/usr/bin/unitsim /usr/share/man/man1/unitsim.1.gz|libc6|libqt6"
)
debs=()
for entry in "${packages[@]}"; do
    IFS='|' read -r package files depends unwanted <<<"$(tr -s ' \n' ' ' <<<"$entry")"
    deb="$work/${package}_${version}-1_${arch}.deb"
    if [ ! -f "$deb" ]; then
        check 1 "no $(basename "$deb") among: $(cd "$work" && ls ./*.deb 2>/dev/null)"
        continue
    fi
    debs+=("$deb")
    dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
    for expected in $files "/usr/share/doc/$package/copyright" \
        "/usr/share/doc/$package/changelog.Debian.gz"; do
        grep -qxF "$expected" "$work/files"
        check $? "$package: missing $expected"
    done
    # Nothing outside /usr, no libraries.
    ! grep -v '/$' "$work/files" | grep -v '^/usr/' | grep -q .
    check $? "$package: files outside /usr"
    ! grep -q '^/usr/lib' "$work/files"
    check $? "$package: libraries installed"
    # Dependencies come from the package's own programs.
    actual="$(dpkg-deb -f "$deb" Depends)"
    for library in $depends; do
        [[ "$actual" == *"$library"* ]]
        check $? "$package: Depends lacks $library: $actual"
    done
    for library in $unwanted; do
        [[ "$actual" != *"$library"* ]]
        check $? "$package: Depends has $library: $actual"
    done
done
# Only the edition that is the .mot handler says so.
dpkg-deb -x "$work/flashtool-desktop_${version}-1_${arch}.deb" "$work/desktop" 2>/dev/null
handlers="$(grep -l '^MimeType=.*application/x-kestrune-mot' \
    "$work"/desktop/usr/share/applications/*.desktop 2>/dev/null)"
[ "$(basename "$handlers" 2>/dev/null)" = QuorvaneIAP.desktop ]
check $? "the .mot handlers are not QuorvaneIAP alone: $handlers"

# lintian's errors and warnings fail the packages.
if [ ${#debs[@]} -gt 0 ]; then
    lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}" >"$work/lintian" 2>&1
    check $? "lintian: $(cat "$work/lintian")"
fi
echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
