#!/usr/bin/env bash
# The quality benchmark: what a user hears through the Java API at the speeds 0.5
# to 2 (tone purity, pitch, level, transient smear and pre-echo, length, CPU),
# for the default, the presets and (with --grid) every frame size and hop count,
# beside Rubber Band's two engines and SoundTouch on the same signals.
#
#   scripts/quality.sh [--grid] [--speeds 0.5,0.8] [--music-seconds S]
#
# Installs what is missing with apt-get when run as root, builds a Release build
# with the benchmarks into build-quality/ (or $BUILD_DIR), runs the benchmark and
# writes QUALITY.md's tables (docs/quality-tables.md) and docs/quality.png, then
# measures the key change's resampler beside sox (ResamplerBench). About
# ten minutes on two cores with --grid, three without; then the resampler against
# sox and the live changes (LiveChanges) beside Rubber Band.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$root/scripts/common.sh"
build=${BUILD_DIR:-$root/build-quality}

packages=(librubberband-dev libsoundtouch-dev libbenchmark-dev libfftw3-dev pkg-config cmake g++
  make binutils openjdk-17-jdk-headless libgtest-dev junit5 libpicocli-java fontconfig
  fonts-dejavu-core sox)
install_missing quality.sh "${packages[@]}"

export_java_home

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHOPWARBLER_BENCH=ON >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" --target hopwarbler_jar hopwarbler_bench_jar hopwarbler_peer

# The library's jar, the signals and measures the benchmarks share with the tests, the benchmarks.
classpath=$build/java/hopwarbler.jar:$build/tests/support/java/hopwarbler-support.jar
classpath+=:$build/bench/java/hopwarbler-bench.jar
echo "CPU: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
java -Djava.awt.headless=true -Dhopwarbler.library="$build/libhopwarbler.so" \
  -Dhopwarbler.peer="$build/bench/hopwarbler_peer" \
  -cp "$classpath" \
  quenlab.hopwarbler.bench.QualityBench --table "$root/docs/quality-tables.md" \
  --png "$root/docs/quality.png" "$@"
# The key change's resampler beside sox's: ripple, alias rejection and speed.
java -Dhopwarbler.library="$build/libhopwarbler.so" \
  -cp "$classpath" \
  quenlab.hopwarbler.bench.ResamplerBench
# Live changes: the level through speed changes beside Rubber Band, and the click
# energy of every other control against the steady stream.
java -Dhopwarbler.library="$build/libhopwarbler.so" \
  -Dhopwarbler.peer="$build/bench/hopwarbler_peer" \
  -cp "$classpath" \
  quenlab.hopwarbler.bench.LiveChanges
