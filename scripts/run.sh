#!/usr/bin/env bash
# The main job: sets up, builds, and builds the image of the bundled example firmware.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
mkdir -p "$root/build/work"
cd "$root/build/work"
"$root/build/cli/flashtool" image "$root/examples/LB1~4K_example.mot"
echo "tmp.bin: $(stat -c %s tmp.bin) bytes in $PWD"
