#!/usr/bin/env bash
# Runs a test program under Wine (as cmake/wine-run.sh does) with its standard
# error going to a file named in VELUNOR_CHILD_TRACE. Wine writes the debug
# output of a process to the standard error it inherited at the Unix level,
# whatever standard handles it was given, so this is where the event trace of
# every program the test starts ends up. The file is shown when the test fails.
#   run_with_child_trace.sh PREFIX PROGRAM [ARGUMENTS...]
set -uo pipefail
trace=$(mktemp --suffix=.trace)
export VELUNOR_CHILD_TRACE=$trace
"$(dirname "$(realpath "$0")")/../../cmake/wine-run.sh" "$@" 2>>"$trace"
code=$?
if [ "$code" != 0 ]; then
  cat "$trace" >&2
fi
rm -f "$trace"
exit "$code"
