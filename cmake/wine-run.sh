#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# A failed run says so on standard error with its status and the time it
# took.
#
# Wine now and then ends the start of a program with status 1 after about
# 10 ms, printing nothing, before the program has run: seen twice in some two
# thousand starts of test programs, on a fresh prefix a minute or two into
# the suite. No Windows program ends that soon here (the shortest whole run
# takes over 100 ms), so such an end is a failed start of Wine, not the
# program's result: it is said, and the program is started once more.
# testing/wine_events.py does the same for the programs the Python tests run.
set -euo pipefail
prefix=$(realpath -m "$1")
shift
"$(dirname "$0")/wine-prefix.sh" start "$prefix"
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
failed_start_ms=50

run() {
  local started
  started=$(date +%s%N)
  status=0
  "$wine" "$@" || status=$?
  elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
}

run "$@"
if [ "$status" -ne 0 ] && [ "$elapsed_ms" -lt "$failed_start_ms" ]; then
  echo "wine-run.sh: Wine ended the start of $1 with status $status after" \
       "$elapsed_ms ms, before it could run; starting it again" >&2
  run "$@"
fi
if [ "$status" -ne 0 ]; then
  echo "wine-run.sh: $1 ended with status $status after $elapsed_ms ms" >&2
fi
exit "$status"
