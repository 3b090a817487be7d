#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs one of them:
#   fuzz/run.sh [SECONDS [TARGET [LIBFUZZER_FLAGS...]]]
# SECONDS defaults to 60, TARGET to doc_open_fuzzer (or record_fuzzer, telnet_fuzzer). The corpus the run grows
# lives in build-fuzz/corpus/TARGET (seeded from fuzz/corpus/), crash, leak and timeout files go
# to fuzz/artifacts/TARGET/; both folders are ignored by git. The exit status is libFuzzer's:
# 0 when the time ran out without a finding.
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (parallel processes, default 1).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
target="${2:-doc_open_fuzzer}"
shift $(($# > 2 ? 2 : $#))
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac

case "$target" in
    doc_open_fuzzer) seeds="$root/fuzz/corpus/doc_open" max_len=16384 dict=flashtool.dict ;;
    record_fuzzer) seeds="$root/fuzz/corpus/record" max_len=1024 dict=flashtool.dict ;;
    telnet_fuzzer) seeds="$root/fuzz/corpus/telnet" max_len=4096 dict=telnet.dict ;;
    *) echo "unknown target $target (doc_open_fuzzer, record_fuzzer or telnet_fuzzer)" >&2
       exit 2 ;;
esac

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DFLASHTOOL_FUZZ=ON \
    -DFLASHTOOL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "$target"

corpus="$build/corpus/$target"
artifacts="$root/fuzz/artifacts/$target"
mkdir -p "$corpus" "$artifacts"

jobs="${FUZZ_JOBS:-1}"
parallel=()
if [ "$jobs" -gt 1 ]; then
    parallel=(-fork="$jobs")
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "$build/fuzz/$target" \
    -max_total_time="$seconds" -detect_leaks=1 -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 \
    -dict="$root/fuzz/$dict" -artifact_prefix="$artifacts/" "${parallel[@]}" "$@" \
    "$corpus" "$seeds"
