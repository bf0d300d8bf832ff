#!/usr/bin/env bash
# The raw interface's speed against an earlier revision: builds hopwarbler_bench from
# REV (a copy by git archive; the checkout is left alone) and from the working tree,
# then runs the stream benchmark's cases of our driver (stream/ours/*: the 60 s
# stereo piece through dsp_process at 2048 / 4, ratios 1.25 and 0.8, analyser off
# and on) with the two programs in turn, ROUNDS times (default 3), and prints per
# case the median CPU time of each and their ratio (working tree / REV; above 1 is
# slower).
#
#   scripts/bench-compare.sh REV [ROUNDS]
#
# e.g. scripts/bench-compare.sh 19f56d7, the commit before the engine objects. The
# builds go into build-compare/ (or $BUILD_DIR): base/ for REV, current/ for the
# working tree, with each run's output and JSON. Needs what scripts/bench.sh needs.
# About ten minutes on two cores, most of it the two builds; the working tree's
# build is the one that is rebuilt on later runs.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$root/scripts/common.sh"
rev=${1:?usage: scripts/bench-compare.sh REV [ROUNDS]}
rounds=${2:-3}
build=${BUILD_DIR:-$root/build-compare}

packages=(libbenchmark-dev libfftw3-dev librubberband-dev libsoundtouch-dev cmake g++
  make pkg-config libgtest-dev libhwy-dev openjdk-17-jdk)
install_missing bench-compare.sh "${packages[@]}"
export_java_home

commit=$(git -C "$root" rev-parse --verify "$rev^{commit}")
mkdir -p "$build"
# The revision's sources, unpacked afresh when the revision changes.
if [[ ! -f $build/source/.commit || $(cat "$build/source/.commit") != "$commit" ]]; then
  rm -rf "$build/source" "$build/base"
  mkdir -p "$build/source"
  git -C "$root" archive "$commit" | tar -x -C "$build/source"
  echo "$commit" >"$build/source/.commit"
fi

for side in base current; do
  src=$root
  [[ $side == base ]] && src=$build/source
  cmake -S "$src" -B "$build/$side" -DCMAKE_BUILD_TYPE=Release -DHOPWARBLER_BENCH=ON \
    -DHOPWARBLER_JAVA=OFF >"$build/$side-configure.log" 2>&1 ||
    { cat "$build/$side-configure.log" >&2; exit 1; }
  cmake --build "$build/$side" -j"$(nproc)" --target hopwarbler_bench
done

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "base: $rev ($(git -C "$root" log -1 --format='%h %cs' "$commit")); current: the working tree"
# The two programs alternate, so that a change in the machine's load falls on both.
for ((round = 1; round <= rounds; round++)); do
  for side in base current; do
    "$build/$side/bench/hopwarbler_bench" --benchmark_filter='^stream/ours/' \
      --benchmark_out="$build/$side/round-$round.json" --benchmark_out_format=json \
      >"$build/$side/round-$round.txt" 2>&1
  done
  echo "round $round of $rounds done"
done

python3 - "$build" "$rounds" <<'EOF'
import json, statistics, sys
build, rounds = sys.argv[1], int(sys.argv[2])

def medians(side):
    """CPU milliseconds per case: the median over the rounds of each run's median."""
    runs = {}
    for r in range(1, rounds + 1):
        for b in json.load(open(f"{build}/{side}/round-{r}.json"))["benchmarks"]:
            if b.get("aggregate_name") == "median" and not b.get("error_occurred"):
                name = b["run_name"].split("/iterations:")[0]
                runs.setdefault(name, []).append(b["cpu_time"])
    return {name: statistics.median(times) for name, times in runs.items()}

base, current = medians("base"), medians("current")
print(f"{'case':36} {'base (ms)':>10} {'current (ms)':>13} {'current/base':>13}")
ratios = []
for name in sorted(set(base) & set(current)):
    ratio = current[name] / base[name]
    ratios.append(ratio)
    print(f"{name:36} {base[name]:10.1f} {current[name]:13.1f} {ratio:13.3f}")
for name in sorted(set(base) ^ set(current)):
    print(f"{name:36} only in {'base' if name in base else 'current'}")
if ratios:
    print(f"{'geometric mean':36} {'':10} {'':13} {statistics.geometric_mean(ratios):13.3f}")
EOF
