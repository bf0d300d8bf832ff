#!/bin/bash
# Runs a JVM started with -Xcheck:jni (the command line given as arguments) and fails when the JNI
# checker reported anything, even if the JVM itself went on and exited 0: a warning of the checker
# is a misuse of JNI that another JVM or a later release may turn into a crash.
# Usage: run_checked.sh java -Xcheck:jni ... ; the output is passed through unchanged.
set -u -o pipefail

log=$(mktemp "${TMPDIR:-/tmp}/run_checked.XXXXXX")
trap 'rm -f "$log"' EXIT

# The checker writes to standard output or standard error depending on the JVM's settings: look
# at both, and keep them on the console for ctest --output-on-failure.
"$@" 2>&1 | tee "$log"
status=$?

# HotSpot's checker: "WARNING in native method: ..." and "FATAL ERROR in native method: ...",
# local-reference overflows, JNI calls inside a critical region, and replaced signal handlers.
pattern='WARNING in native method|FATAL ERROR in native method|WARNING: JNI local refs'
pattern+='|Warning: Calling other JNI functions in the scope of'
pattern+='|Warning: [A-Z0-9]+ handler (modified|expected)'
if grep -E -q "$pattern" "$log"; then
  echo "run_checked.sh: the JNI checker reported a problem:" >&2
  grep -E "$pattern" "$log" | sort | uniq -c >&2
  exit 1
fi
exit "$status"
