#!/usr/bin/env bash
# Fails unless every symbol that libhopwarbler.so defines in its dynamic table is a
# JNI entry point of quenlab.hopwarbler.NativeInterface or NativeEngine, and the
# entry points that carry audio and make engines are among them.
set -euo pipefail

lib=${1:?usage: check_exports.sh path/to/libhopwarbler.so}
prefix=Java_quenlab_hopwarbler_NativeInterface_
engine=Java_quenlab_hopwarbler_NativeEngine_

symbols=$(nm -D --defined-only "$lib" | awk 'NF >= 3 { print $2, $3 }')
if [[ -z $symbols ]]; then
  echo "no defined dynamic symbols in $lib" >&2
  exit 1
fi

status=0
while read -r type name; do
  case $name in
    "$prefix"* | "$engine"*) ;;
    # Linker-made markers, not code of the library.
    _init | _fini | _edata | _end | __bss_start | _DYNAMIC | _GLOBAL_OFFSET_TABLE_) ;;
    *)
      echo "unexpected export: $type $name" >&2
      status=1
      ;;
  esac
done <<<"$symbols"

for symbol in "${prefix}dspInit" "${prefix}dspProcess" "${engine}create" "${engine}destroy" \
  "${engine}dspProcess"; do
  if ! grep -qx "T $symbol" <<<"$symbols"; then
    echo "missing export: $symbol" >&2
    status=1
  fi
done

if [[ $status -eq 0 ]]; then
  echo "exports of $lib:"
  grep -c -e "$prefix" -e "$engine" <<<"$symbols" | sed 's/^/  JNI entry points: /'
fi
exit $status
