#!/usr/bin/env bash
# Starts or stops the Wine prefix that a build owns.
#   wine-prefix.sh start PREFIX   boot it if new, keep its server alive
#   wine-prefix.sh stop PREFIX    end its server and every Wine process in it
# Wine's background processes inherit the standard streams of the process that
# starts them; they are sent to PREFIX.log here, so no pipe that CTest or a
# shell reads is held open by them.
set -euo pipefail
action=$1
export WINEPREFIX=$(realpath -m "$2")
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
log="$WINEPREFIX.log"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)

case "$action" in
  start)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.booted" ]; then
      "$wine" wineboot -i </dev/null >>"$log" 2>&1 9>&-
      touch "$WINEPREFIX/.booted"
    fi
    # A new server (status 0; 2 means one runs already) brings the prefix's
    # services up here, with their output in the log, before any test starts.
    if "$server" -p </dev/null >>"$log" 2>&1 9>&-; then
      "$wine" wineboot </dev/null >>"$log" 2>&1 9>&-
    fi
    ;;
  stop)
    "$server" -k </dev/null >>"$log" 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
