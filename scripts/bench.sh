#!/usr/bin/env bash
# Builds and runs the benchmarks: the library beside FFTW3f, Rubber Band and
# SoundTouch, the library's heap and static memory, and a summary of the ratios;
# then many streams at once through the Java API and the command-line tool, and the
# tool's default beside Rubber Band finer.
#
#   scripts/bench.sh [--no-streams] [benchmark flags...]
#
# Installs what is missing with apt-get when run as root, configures a Release
# build with the benchmarks into build-bench/ (or $BUILD_DIR), builds, checks that
# the floor's bin pass calls glibc's vector maths, reports memory, then runs
# hopwarbler_bench (extra arguments go to it, e.g. --benchmark_filter=fft). The
# console output and the JSON results are kept in the build folder as bench.txt
# and bench.json. About two minutes on two cores, most of it in Rubber Band's
# finer engine. Last, StreamsBench runs 1 and 2 processors on as many threads, and
# the tool converts eight generated songs with --out-dir at --jobs 1 and 2 (the
# outputs must be the same files), and converts 60 s of them at speeds 0.5 to 2
# beside Rubber Band finer: about three minutes more. --no-streams leaves that last
# part out.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$root/scripts/common.sh"
build=${BUILD_DIR:-$root/build-bench}

streams=1
args=()
for arg in "$@"; do
  if [[ $arg == --no-streams ]]; then streams=0; else args+=("$arg"); fi
done

# The benchmarks' own needs, then what the top-level configure needs (GoogleTest
# for the native tests, a JDK and the tool's jars for the Java part).
packages=(libbenchmark-dev libfftw3-dev librubberband-dev libsoundtouch-dev cmake g++
  make pkg-config binutils libgtest-dev libhwy-dev openjdk-17-jdk junit5 libpicocli-java libjline3-java
  libmp3spi-java libjlayer-java libtritonus-java libjorbis-java sox)
install_missing bench.sh "${packages[@]}"

export_java_home

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHOPWARBLER_BENCH=ON \
  -DHOPWARBLER_JAVA=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" --target hopwarbler hopwarbler_bench hopwarbler_memory \
  hopwarbler_jar hopwarbler_bench_jar hopwarbler_peer

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
  --benchmark_out_format=json "${args[@]}" | tee "$build/bench.txt"

((streams)) || exit 0
echo
echo "==== Many streams ===="
classpath=$build/java/hopwarbler.jar:$build/tests/support/java/hopwarbler-support.jar
classpath+=:$build/bench/java/hopwarbler-bench.jar
echo "Load:      $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
java -Dhopwarbler.library="$build/libhopwarbler.so" -cp "$classpath" \
  quenlab.hopwarbler.bench.StreamsBench

# The tool's batch: eight songs of 30 to 58 s (generated once into the build folder)
# through --out-dir at speed 0.8, --jobs 1 and 2 in turn, twice; the best wall-clock
# time of each, JVM start included, as a user sees it.
songs=$build/songs
java -cp "$classpath" quenlab.hopwarbler.bench.StreamsBench --write-songs "$songs"
declare -A best
for _ in 1 2; do
  for jobs in 1 2; do
    out=$build/batch-jobs$jobs
    rm -rf "$out"
    mkdir -p "$out"
    start=$(date +%s%N)
    "$build/bin/hopwarbler" process "$songs"/song-*.wav --out-dir "$out" --speed 0.8 \
      --jobs "$jobs" --quiet
    took=$(($(date +%s%N) - start))
    if [[ -z ${best[$jobs]:-} ]] || ((took < best[$jobs])); then best[$jobs]=$took; fi
  done
done
same=yes
for file in "$build"/batch-jobs1/*.wav; do
  cmp -s "$file" "$build/batch-jobs2/$(basename "$file")" || same="NO: $(basename "$file") differs"
done
echo "hopwarbler process (8 songs, $(du -ch "$songs"/song-*.wav | tail -n1 | cut -f1)) --out-dir" \
  "--speed 0.8, best of 2 rounds:"
awk -v one="${best[1]}" -v two="${best[2]}" 'BEGIN {
  printf "  --jobs 1 %8.2f s\n  --jobs 2 %8.2f s\n  speed-up %8.2f\n", one / 1e9, two / 1e9, one / two }'
echo "  the files of --jobs 1 and 2 identical: $same"
[[ $same == yes ]]

# The default (BEST) through the tool beside Rubber Band finer: 60 s of the songs above,
# each speed in turn. The tool's figure is the CPU time (user and system, every thread)
# of the whole run, JVM start, decoding and writing included, as a user pays it; the
# peer's is the CPU time of its calls alone (hopwarbler_peer), so the ratio is
# conservative for the tool.
music=$build/tool-music.wav
[[ -s $music ]] || sox "$songs"/song-1.wav "$songs"/song-2.wav "$music" trim 0 60
sox "$music" -t raw -e floating-point -b 32 -L "$build/tool-music.f32"
echo "hopwarbler process (the default, 60 s of stereo) beside Rubber Band finer, CPU time:"
for speed in 0.5 0.8 1.25 2; do
  tool=$({
    TIMEFORMAT='%U %S'
    time "$build/bin/hopwarbler" process "$music" "$build/tool-out.wav" --speed "$speed" \
      --quiet >/dev/null
  } 2>&1 | tail -n1 | awk '{ print $1 + $2 }')
  finer=$("$build/bench/hopwarbler_peer" --engine rb-finer --rate 44100 --channels 2 \
    --in "$build/tool-music.f32" --out "$build/tool-out.f32" --speed "$speed" |
    sed -n 's/.*cpu_seconds=\([0-9.]*\).*/\1/p')
  awk -v s="$speed" -v t="$tool" -v f="$finer" 'BEGIN {
    printf "  speed %-4s  tool %6.2f s (%5.1f x real time)  finer %6.2f s (%5.1f x)  ratio %5.2f\n",
      s, t, 60 / t, f, 60 / f, f / t }'
done
rm -f "$build/tool-out.wav" "$build/tool-out.f32"
