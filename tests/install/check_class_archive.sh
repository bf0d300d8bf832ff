#!/usr/bin/env bash
# The tool's class archive: a launcher (the build's, or the installed one) starts with the tool's
# and picocli's classes mapped from its archive, and class-archive.sh writes a usable archive
# through a launcher and leaves nothing else behind.
#
#   check_class_archive.sh LAUNCHER CLASS_ARCHIVE_SCRIPT
set -euo pipefail
usage='usage: check_class_archive.sh LAUNCHER CLASS_ARCHIVE_SCRIPT'
launcher=${1:?$usage}
script=${2:?$usage}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "check_class_archive.sh: $*" >&2
  exit 1
}

# Where each class came from, as the JVM logs it.
sources() { JDK_JAVA_OPTIONS=-Xlog:class+load=info "$launcher" --version 2>/dev/null; }
for class in quenlab.hopwarbler.cli.Main picocli.CommandLine; do
  line=$(sources | grep -F " $class source:") || fail "$class was not loaded"
  [[ $line == *"shared objects file (top)"* ]] || fail "$class not from the archive: $line"
done

sh "$script" "$launcher" "$tmp/tool.jsa" || fail "class-archive.sh failed"
[[ -s $tmp/tool.jsa ]] || fail "class-archive.sh wrote no archive"
left=$(ls "$tmp")
[[ $left == tool.jsa ]] || fail "class-archive.sh left: $left"
echo "check_class_archive.sh: classes mapped from the archive; class-archive.sh wrote" \
  "$(stat -c %s "$tmp/tool.jsa") bytes"
