#!/usr/bin/env bash
# The desktop programs' sources through the MinGW-w64 compiler, syntax only: no Windows Qt is
# reachable here, so the Linux Qt headers stand in for it. Keeps the Windows code of the
# desktop programs (file types, sleep lock, the Win32 serial back end) compiling.
#   tests/windows/desktop_syntax_check.sh
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
qt=/usr/include/x86_64-linux-gnu/qt6
compiler="$(command -v x86_64-w64-mingw32-g++-posix || command -v x86_64-w64-mingw32-g++)"
passed=0
failed=0
for source in "$root"/shell/qt/*.cpp "$root"/shell/qt/platform/*.cpp "$root"/view/*.cpp; do
    if "$compiler" -std=c++20 -fsyntax-only -Wno-attributes -I"$root" -I"$qt" -I"$qt/QtCore" \
        -I"$qt/QtGui" -I"$qt/QtWidgets" -I"$qt/QtDBus" "$source" 2>"/tmp/syntax-$$.log"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL ${source#"$root"/}"
        grep -m 10 "error" "/tmp/syntax-$$.log"
    fi
done
rm -f "/tmp/syntax-$$.log"
echo "desktop syntax check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
