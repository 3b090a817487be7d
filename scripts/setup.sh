#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need (only those missing).
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
    qt6-base-dev nlohmann-json3-dev dpkg-dev file lintian man-db bash-completion
    srecord fonts-dejavu-core
    desktop-file-utils shared-mime-info dbus-daemon
    g++-mingw-w64-x86-64 wine64 googletest ser2net wixl
    xvfb xauth openbox
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
