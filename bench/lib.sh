# Shared set-up of the benchmark scripts, sourced after `set -euo pipefail`:
# root (the repository), build (BUILD_DIR, the first argument, default build/), work (a
# temporary folder, removed at exit), pids (processes killed at exit), and start_unitsim.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
work="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# Starts unitsim with the given options in the background, keeps its process for cleanup, and
# sets `pty` to the device it serves: start_unitsim NAME [UNITSIM_OPTIONS...]
start_unitsim() {
    local name="$1"
    shift
    "$build/sim/unitsim" "$@" >"$work/$name.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do [ -s "$work/$name.out" ] && break; sleep 0.1; done
    pty="$(head -1 "$work/$name.out")"
}
