#!/usr/bin/env bash
# Checks the library on aarch64 without an ARM machine: builds the library, its
# native GoogleTest suites and driver_streams with Debian's cross compiler
# (g++-aarch64-linux-gnu), runs the suites under qemu-user, and compares the driver's
# output on a fixed set of streams (tests/native/driver_streams.cpp) with that of an
# x86-64 build: every sample must be within 1 LSB. On aarch64 every module runs its
# vector kernels (one Highway source each) on NEON; the suites compare them with the
# scalar path, and CodePaths.* prints which
# path each module runs (also in check-paths.txt in the build folder).
#
#   scripts/check-arm64.sh
#
# Installs what it needs first (as root, with apt-get; see scripts/common.sh):
# the cross compiler, qemu-user, and Debian's GoogleTest sources, which it builds for
# aarch64 once. Builds into build/arm64 (or $BUILD_DIR/arm64). ARM_TESTS, a ctest -R
# pattern, limits the suites run under qemu (default: all of them);
# HOST_BUILD names an x86-64 build folder to take the comparison's driver_streams from;
# VECTOR_SHARE=1 adds the count of scripts/vector-share.sh (how much of each module's
# work runs in vector code there; about eight minutes more).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$root/scripts/common.sh"
build=${BUILD_DIR:-$root/build}/arm64
toolchain=$root/cmake/aarch64-linux-gnu.cmake

install_missing check-arm64.sh cmake make g++ openjdk-17-jdk-headless googletest libgtest-dev libhwy-dev \
  g++-aarch64-linux-gnu qemu-user
export_java_home

# GoogleTest for aarch64, from the sources Debian ships in /usr/src/googletest.
gtest=$build/googletest
if [[ ! -f $gtest/lib/cmake/GTest/GTestConfig.cmake ]]; then
  cmake -S /usr/src/googletest -B "$build/googletest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$gtest"
  cmake --build "$build/googletest-build" -j2
  cmake --install "$build/googletest-build"
fi

# Highway is used through its headers, which are the same on every CPU: the cross build
# takes Debian's from a folder of their own, so that no other header of the build
# machine comes into its search path.
mkdir -p "$build/hwy-include"
ln -sfn /usr/include/hwy "$build/hwy-include/hwy"

# The library, the native suites and driver_streams for aarch64.
cmake -S "$root" -B "$build/target" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DHOPWARBLER_JAVA=OFF \
  -DGTest_DIR="$gtest/lib/cmake/GTest" -DHWY_INCLUDE_DIR="$build/hwy-include"
cmake --build "$build/target" -j2

# driver_streams for this machine, to compare with: from HOST_BUILD, an x86-64 build
# folder already configured (scripts/test.sh passes its own), or a build of its own.
host=${HOST_BUILD:-$build/host}
[[ -n ${HOST_BUILD:-} ]] || cmake -S "$root" -B "$host" -DHOPWARBLER_JAVA=OFF
cmake --build "$host" -j2 --target driver_streams

# The suites under qemu (ctest runs them through the emulator the toolchain names).
ctest --test-dir "$build/target" --output-on-failure -j2 ${ARM_TESTS:+-R "$ARM_TESTS"}

# Which path each module runs on aarch64, and that every portable module runs vector
# kernels there.
qemu-aarch64 -L /usr/aarch64-linux-gnu "$build/target/tests/native/test_fastpaths" \
  --gtest_filter='CodePaths.*' | tee "$build/check-paths.txt" | grep '^code paths:'
grep -q '^\[  PASSED  \] 1 test' "$build/check-paths.txt"

# The same input through both builds' drivers.
work=$build/streams
mkdir -p "$work"
host_streams=$host/tests/native/driver_streams
"$host_streams" input "$work/input.raw"
"$host_streams" run "$work/input.raw" "$work/x86_64.raw"
qemu-aarch64 -L /usr/aarch64-linux-gnu "$build/target/tests/native/driver_streams" run \
  "$work/input.raw" "$work/aarch64.raw"
if ! "$host_streams" compare "$work/aarch64.raw" "$work/x86_64.raw"; then
  echo "check-arm64.sh: the aarch64 build's output differs from x86-64's by more than 1 LSB" >&2
  exit 1
fi
echo "check-arm64.sh: the aarch64 build passes its native suites under qemu and matches x86-64"
if [[ ${VECTOR_SHARE:-0} == 1 ]]; then
  "$root/scripts/vector-share.sh" "$build/target"
fi
