#!/usr/bin/env bash
# Builds everything and runs every test: the native GoogleTest suites, the JUnit
# tests that drive the library through a real JVM, the demo, the check that the
# library exports nothing but its JNI entry points, and the native suites again
# under ThreadSanitizer.
#
#   scripts/test.sh
#
# Installs missing packages first (as root; see scripts/setup.sh). Builds into
# build/ (or $BUILD_DIR).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/setup.sh"

# CMake's JNI lookup wants the JDK's home; take it from javac when it is not set.
if [[ -z ${JAVA_HOME:-} ]]; then
  JAVA_HOME=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
  export JAVA_HOME
fi

cmake -S "$root" -B "$build"
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure

# The native suites again under ThreadSanitizer: the threaded tests (filter
# hand-over, spectrum copies, a control thread racing the audio thread) must run
# without a single race report.
cmake -S "$root" -B "$build/tsan" -DHOPWARBLER_TSAN=ON -DHOPWARBLER_JAVA=OFF
cmake --build "$build/tsan" -j2
TSAN_OPTIONS="halt_on_error=1 abort_on_error=1" \
  ctest --test-dir "$build/tsan" --output-on-failure -j2
