#!/usr/bin/env bash
# Runs an installed hopwarbler launcher the way a user at a terminal would, in a folder of its
# own, with no JAVA_HOME, library path or class path set and only the system's PATH: checks
# that `--version` names the expected version and that `process` turns one second of a square
# wave into half a second at speed 2.
#
#   run_tool.sh LAUNCHER VERSION WORK_DIR
set -euo pipefail

launcher=${1:?usage: run_tool.sh LAUNCHER VERSION WORK_DIR}
version=${2:?usage: run_tool.sh LAUNCHER VERSION WORK_DIR}
work=${3:?usage: run_tool.sh LAUNCHER VERSION WORK_DIR}
mkdir -p "$work"
cd "$work"

clean_env=(env -u JAVA_HOME -u LD_LIBRARY_PATH -u CLASSPATH -u JAVA_TOOL_OPTIONS
  -u JDK_JAVA_OPTIONS -u _JAVA_OPTIONS PATH=/usr/local/bin:/usr/bin:/bin)

fail() {
  echo "run_tool.sh: $*" >&2
  exit 1
}

out=$("${clean_env[@]}" "$launcher" --version) || fail "$launcher --version failed"
[[ $out == "hopwarbler $version "* ]] || fail "--version printed '$out', not hopwarbler $version"
echo "$launcher --version: $out"

# Little-endian integers for the WAV header.
le16() { printf "$(printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16 & 65535)); }

# One second of a 441 Hz square wave at 44.1 kHz, mono 16-bit, at +-8192 (-12 dBFS).
frames=44100
{
  printf 'RIFF'; le32 $((36 + 2 * frames)); printf 'WAVEfmt '
  le32 16; le16 1; le16 1; le32 44100; le32 88200; le16 2; le16 16
  printf 'data'; le32 $((2 * frames))
  for ((period = 0; period < 441; period++)); do
    printf '\x00\x20%.0s' {1..50}
    printf '\x00\xe0%.0s' {1..50}
  done
} >square.wav

"${clean_env[@]}" "$launcher" process square.wav half.wav --speed 2 --quiet ||
  fail "$launcher process failed"
[[ -f half.wav ]] || fail "process wrote no half.wav"
[[ $(od -A n -c -j 36 -N 4 half.wav | tr -d ' ') == data ]] ||
  fail "half.wav has no data chunk where a plain WAV header ends"
channels=$(od -A n -t u2 -j 22 -N 2 half.wav | tr -d ' ')
bytes=$(od -A n -t u4 -j 40 -N 4 half.wav | tr -d ' ')
[[ $channels == 1 ]] || fail "half.wav has $channels channels, not 1"
# A whole stream at speed 2 (hop 512 in, 256 out) comes out with exactly half the frames.
((bytes == frames)) || fail "half.wav holds $((bytes / 2)) frames, not $((frames / 2))"
peak=$(od -A n -t d2 -j 44 -v half.wav | tr -s ' ' '\n' |
  awk 'NF { v = $1 < 0 ? -$1 : $1; if (v > m) m = v } END { print m + 0 }')
((peak > 2000)) || fail "half.wav peaks at $peak: the square wave did not come through"
echo "$launcher process: 1 s -> $((bytes / 2)) frames at speed 2, peak $peak"
