#!/usr/bin/env bash
# Fails unless every symbol that libhopwarbler.so defines in its dynamic table is a
# JNI entry point of quenlab.hopwarbler.NativeInterface, and the two entry points
# that carry audio are among them.
set -euo pipefail

lib=${1:?usage: check_exports.sh path/to/libhopwarbler.so}
prefix=Java_quenlab_hopwarbler_NativeInterface_

symbols=$(nm -D --defined-only "$lib" | awk 'NF >= 3 { print $2, $3 }')
if [[ -z $symbols ]]; then
  echo "no defined dynamic symbols in $lib" >&2
  exit 1
fi

status=0
while read -r type name; do
  case $name in
    "$prefix"*) ;;
    # Linker-made markers, not code of the library.
    _init | _fini | _edata | _end | __bss_start | _DYNAMIC | _GLOBAL_OFFSET_TABLE_) ;;
    *)
      echo "unexpected export: $type $name" >&2
      status=1
      ;;
  esac
done <<<"$symbols"

for method in dspInit dspProcess; do
  if ! grep -qx "T $prefix$method" <<<"$symbols"; then
    echo "missing export: $prefix$method" >&2
    status=1
  fi
done

if [[ $status -eq 0 ]]; then
  echo "exports of $lib:"
  grep -c "$prefix" <<<"$symbols" | sed 's/^/  JNI entry points: /'
fi
exit $status
