#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
set -euo pipefail
prefix=$(realpath -m "$1")
shift
"$(dirname "$0")/wine-prefix.sh" start "$prefix"
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec "$(command -v wine64 || echo /usr/lib/wine/wine64)" "$@"
