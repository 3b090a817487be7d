#!/usr/bin/env bash
# Sets up, builds and runs every test (the Windows build's under Wine), then the Linux tests
# again in a sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# flashtool.exe, the Windows unit tests and the installer, cross-built; the Linux build's tests
# run them under Wine.
scripts/build.sh build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
cmake --build build-win --target msi
scripts/build.sh build -DFLASHTOOL_WINDOWS_BUILD="$PWD/build-win"
(cd build && ctest --output-on-failure -j"$(nproc)")
scripts/build.sh build-asan -DFLASHTOOL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ctest --output-on-failure -j"$(nproc)")
