#!/usr/bin/env bash
# Installs what building and testing hopwarbler needs on Debian 12: the compiler
# and CMake, a JDK 17, GoogleTest, Highway's headers (the vector kernels), JUnit 5,
# picocli and JLine 3, script (bsdutils, for the
# test that drives "hopwarbler play" through a pseudo-terminal), clang 14 with its
# runtime libraries (libFuzzer and the sanitizers) for the fuzz target, asciidoctor
# for the manual page, dpkg-dev and file, with which cpack finds the Debian
# package's library dependencies, and for the aarch64 check (scripts/check-arm64.sh)
# the cross compiler, qemu-user and GoogleTest's sources; Maven with Debian's compiler and
# resources plugins, with which a test builds a program against the installed library offline;
# the decoders the tool reads compressed files with (the MP3 and Ogg Vorbis jars, flac,
# opus-tools, ffmpeg and mpg123 for free-format MP3; flac also encodes the tool's FLAC output)
# and the encoders the input tests make their files with (sox, lame; opusenc and ffmpeg come
# with the above). As root it
# installs the missing packages with apt-get; otherwise it prints the apt-get line
# to run and fails if anything is missing. Does nothing when all is there.
set -euo pipefail

packages=(cmake g++ make binutils openjdk-17-jdk-headless libgtest-dev libhwy-dev junit5 libpicocli-java
  libjline3-java bsdutils clang-14 libclang-rt-14-dev asciidoctor dpkg-dev file googletest
  g++-aarch64-linux-gnu qemu-user
  maven libmaven-compiler-plugin-java libmaven-resources-plugin-java
  libmp3spi-java libjlayer-java libtritonus-java libjorbis-java flac opus-tools ffmpeg mpg123 sox lame)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

if [[ $(id -u) -eq 0 ]]; then
  echo "setup.sh: installing ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
else
  echo "setup.sh: missing packages: ${missing[*]}" >&2
  echo "Install them as root with:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
