#!/usr/bin/env bash
# Builds and runs the benchmarks: the library beside FFTW3f, Rubber Band and
# SoundTouch, the library's heap and static memory, and a summary of the ratios.
#
#   scripts/bench.sh [benchmark flags...]
#
# Installs what is missing with apt-get when run as root, configures a Release
# build with the benchmarks into build-bench/ (or $BUILD_DIR), builds, checks that
# the floor's bin pass calls glibc's vector maths, reports memory, then runs
# hopwarbler_bench (extra arguments go to it, e.g. --benchmark_filter=fft). The
# console output and the JSON results are kept in the build folder as bench.txt
# and bench.json. About two minutes on two cores, most of it in Rubber Band's
# finer engine.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$root/scripts/common.sh"
build=${BUILD_DIR:-$root/build-bench}

# The benchmarks' own needs, then what the top-level configure needs (GoogleTest
# for the native tests, a JDK for the JNI headers and libraries).
packages=(libbenchmark-dev libfftw3-dev librubberband-dev libsoundtouch-dev cmake g++
  make pkg-config binutils libgtest-dev openjdk-17-jdk)
install_missing bench.sh "${packages[@]}"

export_java_home

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHOPWARBLER_BENCH=ON \
  -DHOPWARBLER_JAVA=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" --target hopwarbler hopwarbler_bench hopwarbler_memory

echo
echo "==== Machine and build ===="
echo "CPU:       $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
echo "Load:      $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
echo "Compiler:  $(g++ --version | head -n1)"
python3 - "$build/compile_commands.json" <<'EOF'
import json, sys
for entry in json.load(open(sys.argv[1])):
    for name, label in (("jni/fft.cpp", "Library"), ("bench/floor_binpass.cpp", "Floor TU")):
        if entry["file"].endswith(name):
            flags = [a for a in entry["command"].split()[1:]
                     if a.startswith(("-O", "-m", "-f", "-std", "-D", "-W", "-g"))]
            print(f"{label + ':':10} {' '.join(flags)}")
EOF
vector_calls=$(objdump -d "$build/bench/hopwarbler_bench" | grep -oE 'call +[0-9a-f]+ <_ZGV[A-Za-z0-9_]+' |
  grep -oE '_ZGV[A-Za-z0-9_]+' | sort -u | tr '\n' ' ')
if [[ -n $vector_calls ]]; then
  echo "libmvec:   hopwarbler_bench calls $vector_calls (the floor's bin pass: _ZGVd*)"
else
  echo "libmvec:   WARNING: no call to a vector maths function in hopwarbler_bench" >&2
fi

echo
echo "==== Memory ===="
"$build/bench/hopwarbler_memory" || echo "WARNING: the heap grows with the stream's length" >&2
echo "Static memory of libhopwarbler.so (bytes):"
size -A "$build/libhopwarbler.so" | awk '$1 ~ /^\.(text|rodata|data|bss)$/ { printf "  %-8s %10d\n", $1, $2 }'
echo "Its largest static arrays (bytes):"
nm -S --size-sort -C "$build/libhopwarbler.so" | awk '$3 ~ /^[bBdD]$/' | tail -n 10 |
  while read -r _ size _ name; do printf "  %-20s %10d\n" "$name" "$((16#$size))"; done

echo
echo "==== Benchmarks ===="
"$build/bench/hopwarbler_bench" --benchmark_out="$build/bench.json" \
  --benchmark_out_format=json "$@" | tee "$build/bench.txt"
