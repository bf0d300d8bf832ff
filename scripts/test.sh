#!/usr/bin/env bash
# Builds everything and runs every test: the native GoogleTest suites, the JUnit
# tests that drive the library through a real JVM, the demo, the check that the
# library exports nothing but its JNI entry points, the native suites again
# under AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer,
# the fuzz target's regression inputs and a bounded fuzz run (clang, libFuzzer,
# AddressSanitizer + UndefinedBehaviorSanitizer), and the aarch64 check
# (scripts/check-arm64.sh: the library and the native suites cross-built, run under
# qemu-user, and the driver's output compared with x86-64's).
#
#   scripts/test.sh
#
# Installs missing packages first (as root; see scripts/setup.sh). Builds into
# build/ (or $BUILD_DIR), the sanitizer builds into build/asan, build/tsan and
# build/fuzz, the aarch64 check into build/arm64. FUZZ_TIME (seconds, default 60) bounds the fuzz run and FUZZ_SEED
# (default 1; 0 = a new random seed) fixes its mutations.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$root/scripts/common.sh"
build=${BUILD_DIR:-$root/build}

"$root/scripts/setup.sh"

export_java_home

cmake -S "$root" -B "$build"
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure

# The native suites under AddressSanitizer and UndefinedBehaviorSanitizer (float
# conversions out of range included): any report aborts the test that made it.
cmake -S "$root" -B "$build/asan" -DHOPWARBLER_ASAN=ON -DHOPWARBLER_JAVA=OFF
cmake --build "$build/asan" -j2
ctest --test-dir "$build/asan" --output-on-failure -j2

# The fuzz target, built with clang under the same sanitizers, replays its seed
# corpus and every input in fuzz/regressions/; then it fuzzes for FUZZ_TIME
# seconds on one core, in the background while the ThreadSanitizer build below
# uses the other. Each run starts from the seeds alone, so that with a fixed
# seed it explores the same inputs every time.
export UBSAN_OPTIONS=print_stacktrace=1
cmake -S "$root" -B "$build/fuzz" -DHOPWARBLER_FUZZ=ON -DHOPWARBLER_JAVA=OFF \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
cmake --build "$build/fuzz" -j2
ctest --test-dir "$build/fuzz" --output-on-failure -j2
fuzz_work=$build/fuzz/fuzz-run
rm -rf "$fuzz_work"
mkdir -p "$fuzz_work/corpus"
"$build/fuzz/fuzz/fuzz_dsp" -max_total_time="${FUZZ_TIME:-60}" -seed="${FUZZ_SEED:-1}" \
  -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$fuzz_work/" \
  "$fuzz_work/corpus" "$root/fuzz/corpus" >"$fuzz_work/log" 2>&1 &
fuzz_pid=$!
trap 'kill "$fuzz_pid" 2>/dev/null || true' EXIT

# The native suites again under ThreadSanitizer: the threaded tests (filter
# hand-over, spectrum copies, a control thread racing the audio thread) must run
# without a single race report.
cmake -S "$root" -B "$build/tsan" -DHOPWARBLER_TSAN=ON -DHOPWARBLER_JAVA=OFF
cmake --build "$build/tsan" -j2
TSAN_OPTIONS="halt_on_error=1 abort_on_error=1" \
  ctest --test-dir "$build/tsan" --output-on-failure -j2

fuzz_status=0
wait "$fuzz_pid" || fuzz_status=$?
trap - EXIT
if ((fuzz_status != 0)); then
  tail -n 60 "$fuzz_work/log" >&2
  echo "fuzz_dsp failed (exit $fuzz_status); the input is $(ls "$fuzz_work"/crash-* "$fuzz_work"/timeout-* \
    "$fuzz_work"/oom-* 2>/dev/null | head -n 1). Replay it with $build/fuzz/fuzz/fuzz_dsp FILE" \
    "(FUZZ_DSP_TRACE=1 prints the calls); once fixed, keep it in fuzz/regressions/." >&2
  exit 1
fi
grep -E '^(INFO: Seed|#[0-9]+ +DONE)' "$fuzz_work/log"
echo "fuzz_dsp: no crash, sanitizer report or failed check in ${FUZZ_TIME:-60} s"

# The library and its native suites for aarch64, under qemu-user (about two minutes
# on two cores, GoogleTest's cross build included).
BUILD_DIR=$build HOST_BUILD=$build "$root/scripts/check-arm64.sh"
