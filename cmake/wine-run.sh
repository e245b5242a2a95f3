#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# A failed run says so on standard error with the status and the time it
# took: a program that fails before its first line of output leaves nothing
# else to tell a failed start of Wine from a failed test.
set -euo pipefail
prefix=$(realpath -m "$1")
shift
"$(dirname "$0")/wine-prefix.sh" start "$prefix"
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
started=$(date +%s%N)
status=0
"$(command -v wine64 || echo /usr/lib/wine/wine64)" "$@" || status=$?
if [ "$status" -ne 0 ]; then
  echo "wine-run.sh: $1 ended with status $status after" \
       "$(( ($(date +%s%N) - started) / 1000000 )) ms" >&2
fi
exit "$status"
