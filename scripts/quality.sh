#!/usr/bin/env bash
# The quality benchmark: what a user hears through the Java API at the speeds 0.5
# to 2 (tone purity, pitch, level, transient smear and pre-echo, length, CPU),
# for the default, the presets and (with --grid) every frame size and hop count,
# beside Rubber Band's two engines and SoundTouch on the same signals; then the
# same beside the peers on recorded music (the stereo image, attacks, harmony,
# spectral balance, level, a round trip).
#
#   scripts/quality.sh [--grid] [--speeds 0.5,0.8] [--music-seconds S] [--music-only]
#
# Installs what is missing with apt-get when run as root, builds a Release build
# with the benchmarks into build-quality/ (or $BUILD_DIR), runs the benchmark and
# writes QUALITY.md's tables (docs/quality-tables.md) and docs/quality.png, then
# the key change's formants beside the peers (FormantBench, docs/quality-formants.md:
# about eight minutes) and the key change's resampler beside sox (ResamplerBench). About
# ten minutes on two cores with --grid, three without; then the resampler against
# sox and the live changes (LiveChanges) beside Rubber Band. Last, MusicBench
# stretches 20 s excerpts of Debian's warzone2100-music (decoded once into the
# build folder) and a synthetic stereo control at the same speeds, and writes
# docs/quality-music.md and docs/quality-stereo.png: about seven minutes more.
# --music-only runs the music benchmark alone.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$root/scripts/common.sh"
build=${BUILD_DIR:-$root/build-quality}

# The options go to the tone benchmark; the music benchmark takes the speeds too.
tone_args=()
music_args=()
only_music=0
while (($#)); do
  case $1 in
    --music-only) only_music=1 ;;
    --speeds)
      tone_args+=("$1" "${2:?--speeds wants a list}")
      music_args+=("$1" "$2")
      shift
      ;;
    *) tone_args+=("$1") ;;
  esac
  shift
done

packages=(librubberband-dev libsoundtouch-dev libbenchmark-dev libfftw3-dev pkg-config cmake g++
  make binutils openjdk-17-jdk-headless libgtest-dev libhwy-dev junit5 libpicocli-java fontconfig
  fonts-dejavu-core sox espeak-ng)
install_missing quality.sh "${packages[@]}"

# The recorded music, Opus files decoded with opusdec. Without them the music
# benchmark measures its synthetic control alone.
music_packages=(warzone2100-music opus-tools)
have_music=1
if ! (install_missing quality.sh "${music_packages[@]}"); then
  echo "quality.sh: cannot install ${music_packages[*]}:" \
    "the music benchmark runs its synthetic control alone" >&2
  have_music=0
fi

export_java_home

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHOPWARBLER_BENCH=ON >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" --target hopwarbler_jar hopwarbler_bench_jar hopwarbler_peer

# The library's jar, the signals and measures the benchmarks share with the tests, the benchmarks.
classpath=$build/java/hopwarbler.jar:$build/tests/support/java/hopwarbler-support.jar
classpath+=:$build/bench/java/hopwarbler-bench.jar

# Recorded music: 20 s excerpts of different character (name, album/track, start
# in s, character, percussive or -), cut from the decoded tracks once and kept in
# the build folder. The last three check a choice made on the first six against
# other music. Percussive are those whose attacks stand out: the 97th percentile of
# their spectral flux is 5 to 6 times its median (3.1 to 3.7 for the others). The
# three "drums" excerpts are dense percussion, chosen by the input alone: of every
# 20 s window (from 10 s on, 20 s apart) of the tracks not used above, those with
# that ratio at least 5 and the most onsets per second (flux maxima, 29 ms apart,
# over 2.5 times its median: 11.9 to 12.7 per second, against 7.5 to 9.8 for the
# percussive excerpts above), one per track.
excerpts=(
  "percussive|original_soundtrack/track2|270|drums and percussion|percussive"
  "ambient|original_soundtrack/track1|230|ambient pads|-"
  "dense|aftermath_soundtrack/track22|350|dense full mix|-"
  "wide|original_soundtrack/track2|190|wide stereo, percussion|percussive"
  "bass|legacy_soundtrack/track5|150|bass-heavy|-"
  "beat|aftermath_soundtrack/track17|190|steady beat|-"
  "check-1|legacy_soundtrack/track8|150|other music (check), percussion|percussive"
  "check-2|aftermath_soundtrack/track3_enhanced|270|other music (check)|-"
  "check-3|original_soundtrack/track3|190|other music (check)|-"
  "drums-1|legacy_soundtrack/track13|10|dense percussion, heavy bass|percussive"
  "drums-2|aftermath_soundtrack/track20|10|dense percussion|percussive"
  "drums-3|legacy_soundtrack/track14|270|dense percussion, loud|percussive"
)
if ((have_music)); then
  albums=/usr/share/games/warzone2100/music/albums
  cache=$build/music
  mkdir -p "$cache"
  list=$cache/excerpts.tsv
  trap 'rm -f "$cache/track.raw" "$cache/part.wav" "$list.part"' EXIT
  : >"$list.part"
  for entry in "${excerpts[@]}"; do
    IFS='|' read -r name track start character kind <<<"$entry"
    wav=$cache/$name-${track//\//-}-$start.wav
    if [[ ! -s $wav ]]; then
      # The whole track decoded, then the excerpt cut from it; a file appears only
      # once it is whole and 20 s long.
      opusdec --quiet --rate 44100 --force-stereo --no-dither "$albums/$track.opus" \
        "$cache/track.raw"
      sox -t raw -r 44100 -e signed-integer -b 16 -c 2 -L "$cache/track.raw" "$cache/part.wav" \
        trim "$start" 20
      rm -f "$cache/track.raw"
      if [[ $(soxi -s "$cache/part.wav") -ne $((20 * 44100)) ]]; then
        echo "quality.sh: $track is shorter than $start + 20 s" >&2
        exit 1
      fi
      mv "$cache/part.wav" "$wav"
    fi
    printf '%s\t%s\t%s from %s s\t%s\t%s\n' "$name" "$wav" "$track" "$start" "$character" \
      "$kind" >>"$list.part"
  done
  mv "$list.part" "$list"
  music_args+=(--music "$list")
fi

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
if ((!only_music)); then
  java -Djava.awt.headless=true -Dhopwarbler.library="$build/libhopwarbler.so" \
    -Dhopwarbler.peer="$build/bench/hopwarbler_peer" \
    -cp "$classpath" \
    quenlab.hopwarbler.bench.QualityBench --table "$root/docs/quality-tables.md" \
    --png "$root/docs/quality.png" "${tone_args[@]}"
  # The key change's formants beside the peers: vowels, espeak-ng speech and singing.
  java -Dhopwarbler.library="$build/libhopwarbler.so" \
    -Dhopwarbler.peer="$build/bench/hopwarbler_peer" \
    -cp "$classpath" \
    quenlab.hopwarbler.bench.FormantBench --table "$root/docs/quality-formants.md"
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
fi

# The music benchmark, ours and the peers side by side on the two cores.
java -Djava.awt.headless=true -Dhopwarbler.library="$build/libhopwarbler.so" \
  -Dhopwarbler.peer="$build/bench/hopwarbler_peer" \
  -cp "$classpath" \
  quenlab.hopwarbler.bench.MusicBench "${music_args[@]}" --table "$root/docs/quality-music.md" \
  --png "$root/docs/quality-stereo.png"
