#!/usr/bin/env bash
# Builds the library, the jar and the hopwarbler tool, then runs 'hopwarbler demo':
# it synthesises a short stereo piece, runs it slower, faster, with the voice
# removed and folded to mono, writes the WAV files and note-spectrum pictures into
# ./hopwarbler-demo and prints what it measured.
#
#   scripts/demo.sh
#
# Installs missing packages first (as root; see scripts/setup.sh). Builds into
# build/ (or $BUILD_DIR).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$root/scripts/common.sh"
build=${BUILD_DIR:-$root/build}

"$root/scripts/setup.sh"

export_java_home

cmake -S "$root" -B "$build"
cmake --build "$build" -j2 --target hopwarbler_jar
"$build/bin/hopwarbler" demo "$@"
