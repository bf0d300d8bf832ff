#!/bin/sh
# Writes the class archive the hopwarbler launcher maps at start: runs LAUNCHER once on a second
# of stereo silence (process, speed 1.5, from standard input to standard output) with
# HOPWARBLER_WRITE_CLASS_ARCHIVE set, so that the JVM records the classes that run loaded, already
# parsed and verified, into ARCHIVE. The archive is written beside ARCHIVE and moved into place,
# so that a tool starting meanwhile maps the old archive or the new one, never half of one.
#
#   class-archive.sh LAUNCHER ARCHIVE
set -eu
usage='usage: class-archive.sh LAUNCHER ARCHIVE'
launcher=${1:?$usage}
archive=${2:?$usage}
partial="$archive.partial.$$"
trap 'rm -f "$partial"' EXIT
# A second of 16-bit stereo at 44.1 kHz: the WAV header (176,400 bytes of samples), then zeros.
{
  printf 'RIFF\064\261\002\000WAVEfmt \020\000\000\000\001\000\002\000'
  printf '\104\254\000\000\020\261\002\000\004\000\020\000data\020\261\002\000'
  head -c 176400 /dev/zero
} | HOPWARBLER_WRITE_CLASS_ARCHIVE=$partial "$launcher" process - - --speed 1.5 --quiet >/dev/null
if [ ! -s "$partial" ]; then
  echo "class-archive.sh: the JVM wrote no class archive" >&2
  exit 1
fi
mv -f "$partial" "$archive"
