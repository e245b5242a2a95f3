#!/usr/bin/env bash
# Runs a test program under Wine (as cmake/wine-run.sh does) with its standard
# error going to a file named in VELUNOR_CHILD_TRACE. Wine writes the debug
# output of a process to the standard error it inherited at the Unix level,
# whatever standard handles it was given, so this is where the event trace of
# every program the test starts ends up. Beside it runs the trace reader
# (testing/wine_events.py follow), which answers each mark the test writes to
# the trace with the events before it, in the file named in
# VELUNOR_CHILD_EVENTS. The trace is shown when the test fails.
#   run_with_child_trace.sh PREFIX PROGRAM [ARGUMENTS...]
set -uo pipefail
here=$(dirname "$(realpath "$0")")
trace=$(mktemp --suffix=.trace)
events=$(mktemp --suffix=.events)
export VELUNOR_CHILD_TRACE=$trace
export VELUNOR_CHILD_EVENTS=$events
python3 "$here/../wine_events.py" follow "$trace" "$events" </dev/null &
reader=$!
"$here/../../cmake/wine-run.sh" "$@" 2>>"$trace"
code=$?
kill "$reader" 2>/dev/null
wait "$reader" 2>/dev/null
if [ "$code" != 0 ]; then
  cat "$trace" >&2
fi
rm -f "$trace" "$events"
exit "$code"
