#!/usr/bin/env bash
# The Windows installer under Wine: installed silently into a fresh prefix, its files, Start-menu
# entries, file type and uninstall entry checked, then removed silently, leaving nothing of its
# own behind (a kernel put into the Kestrune folder stays).
#   tests/windows/msi_tests.sh WINDOWS_BUILD_DIR
# The desktop programs are checked when the Windows build has them.
# Prints "N passed, N failed" and exits non-zero when anything failed.
set -uo pipefail
win="$(cd "$1" && pwd)"
wine="$(command -v wine64 || echo /usr/lib/wine/wine64)"
msi="$(ls -t "$win"/flashtool-*-x64.msi 2>/dev/null | head -1)"
if [ -z "$msi" ]; then
    echo "no installer in $win: cmake --build $win --target msi"
    exit 1
fi
version="${msi##*/flashtool-}"
version="${version%-x64.msi}"
work="$(mktemp -d)"
# No Mono or Gecko set-up, and no menu entries written to the desktop outside the prefix.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
cleanup() {
    "${wine%/*}/wineserver" -k 2>/dev/null || wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "$0")/lib.sh"
value() {  # KEY [NAME]: the value's data, empty when it is missing
    local select=(/ve)
    [ $# -gt 1 ] && select=(/v "$2")
    "$wine" reg query "$1" "${select[@]}" 2>/dev/null | tr -d '\r' |
        sed -n 's/^    .*    REG_[A-Z_]*    //p'
}
uninstall_entry() {  # the uninstall key that names the product
    "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | awk '/^HKEY_/ { key = $0 }
            $0 == "    DisplayName    REG_SZ    Lumbrook Flash Tools" { print key; exit }'
}
expect() {  # WHAT ACTUAL EXPECTED: 0 when they match, else says so
    [ "$2" = "$3" ] && return 0
    echo "$1: \"$2\", expected \"$3\""
    return 1
}

pf="$WINEPREFIX/drive_c/Program Files"
folder='C:\Program Files\Lumbrook Flash Tools\Flash_LB1~6K'
programs=()  # the desktop programs the build has, edition A first: it opens the firmware files
declare -A shortcut=([QuorvaneIAP.exe]="QUORVANE Series Flash Tool"
    [Flash_LB1~6K.exe]="Lumbrook Series Flash Tool")
for program in QuorvaneIAP.exe 'Flash_LB1~6K.exe'; do
    [ -n "$(find "$win" -name "$program" -not -path '*/packaging/*' -print -quit)" ] &&
        programs+=("$program")
done
menu() {  # the Start-menu folder (Wine puts a per-machine one in the user's menu)
    find "$WINEPREFIX/drive_c" -path '*/Start Menu/Programs/Lumbrook Flash Tools' -print -quit
}

"$wine" wineboot -i >/dev/null 2>&1
(cd "${msi%/*}" && "$wine" msiexec /i "${msi##*/}" /qn)
check "msiexec /i ${msi##*/} /qn" $?

ok=1
installed="$pf/Lumbrook Flash Tools/Flash_LB1~6K"
"$wine" "$installed/flashtool.exe" --version 2>/dev/null | tr -d '\r' | grep -q . || {
    ok=0
    echo "no working $installed/flashtool.exe"
}
[ -d "$pf/Kestrune" ] && [ -z "$(ls -A "$pf/Kestrune")" ] || {
    ok=0
    echo "no empty $pf/Kestrune"
}
[ ! -e "$WINEPREFIX/drive_c/Program Files (x86)/Lumbrook Flash Tools" ] || {
    ok=0
    echo "installed into the 32-bit program folder"
}
check "flashtool.exe and the Kestrune folder" $((1 - ok))

entry="$(uninstall_entry)"
ok=1
expect "uninstall entry" "$([ -n "$entry" ] && echo present)" present || ok=0
if [ -n "$entry" ]; then
    expect "DisplayVersion" "$(value "$entry" DisplayVersion)" "$version" || ok=0
    expect "Publisher" "$(value "$entry" Publisher)" Lumbrook || ok=0
    expect "UninstallString" "$(value "$entry" UninstallString)" "MsiExec.exe /X${entry##*\\}" ||
        ok=0
fi
check "uninstall entry" $((1 - ok))

ok=1
if [ ${#programs[@]} -eq 0 ]; then
    # Without a desktop program there is nothing to open a firmware file with.
    expect ".mot" "$(value 'HKCR\.mot')" "" || ok=0
    expect "Start-menu folder" "$(menu)" "" || ok=0
    check "no desktop program, no file type and no Start-menu entry" $((1 - ok))
else
    for program in "${programs[@]}"; do
        [ -f "$installed/$program" ] || { ok=0; echo "no $installed/$program"; }
        [ -f "$(menu)/${shortcut[$program]}.lnk" ] || { ok=0; echo "no Start-menu entry for $program"; }
    done
    opener="$folder\\${programs[0]}"
    expect ".mot" "$(value 'HKCR\.mot')" Kestrune.Document || ok=0
    expect "type name" "$(value 'HKCR\Kestrune.Document')" "Kestrun Document" || ok=0
    expect "icon" "$(value 'HKCR\Kestrune.Document\DefaultIcon')" "$opener,1" || ok=0
    expect "open command" "$(value 'HKCR\Kestrune.Document\shell\open\command')" \
        "\"$opener\" \"%1\"" || ok=0
    check "desktop programs ${programs[*]}: files, Start-menu entries, .mot file type" $((1 - ok))
fi

# The kernel is the administrator's, not the installer's: removal keeps it.
printf 'kernel' >"$pf/Kestrune/3062f.bin"
(cd "${msi%/*}" && "$wine" msiexec /x "${msi##*/}" /qn)
check "msiexec /x ${msi##*/} /qn" $?

ok=1
[ ! -e "$pf/Lumbrook Flash Tools" ] || { ok=0; echo "left: $(find "$pf/Lumbrook Flash Tools")"; }
[ -f "$pf/Kestrune/3062f.bin" ] || { ok=0; echo "the kernel went with the installer"; }
expect "uninstall entry" "$(uninstall_entry)" "" || ok=0
expect ".mot" "$(value 'HKCR\.mot')" "" || ok=0
expect "Kestrune.Document" "$(value 'HKCR\Kestrune.Document')" "" || ok=0
expect "Start-menu folder" "$(menu)" "" || ok=0
"$wine" reg query 'HKLM\Software\Lumbrook' >/dev/null 2>&1 && { ok=0; echo "left: HKLM\\Software\\Lumbrook"; }
check "nothing left after removal" $((1 - ok))

echo "msi: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
