#!/usr/bin/env bash
# Boots, starts and stops the Wine prefixes the project owns. Every prefix the
# project makes (the test fixture's, the end-to-end run's, the demos') is made
# here, so that each waits for its first boot the same way.
#   wine-prefix.sh new PREFIX     make a new prefix (an old one is removed) and
#                                 wait until its first boot has wholly ended
#   wine-prefix.sh start PREFIX   make it if new, then keep its server alive
#                                 with the prefix's services running
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

# The first boot of a prefix returns while its server and system processes
# are still winding down: on a new prefix Wine's loader runs one boot of its
# own before the asked-for `wineboot -i`, and the services.exe of each boot,
# with plugplay, svchost, winedevice and explorer, keep running for some
# seconds (about 6 s on a 2-core machine) before the server ends. A program
# started in that window can meet two service managers, each with its own
# view of the service database, so a service created through one is missing
# from the other. And a `wineserver -p` in that window finds the boot's
# server still there and starts no persistent one. So the first boot counts
# as done only once its server has ended.
first_boot() {
  "$wine" wineboot -i </dev/null >>"$log" 2>&1 9>&-
  if ! timeout 300 "$server" -w </dev/null >>"$log" 2>&1 9>&-; then
    echo "wine-prefix.sh: the first boot of $WINEPREFIX did not end" >&2
    exit 1
  fi
  touch "$WINEPREFIX/.booted"
}

case "$action" in
  new)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    "$server" -k </dev/null >/dev/null 2>&1 9>&- || true
    rm -rf "$WINEPREFIX" "$log"
    first_boot
    ;;
  start)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    [ -f "$WINEPREFIX/.booted" ] || first_boot
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
    echo "usage: $0 new|start|stop PREFIX" >&2
    exit 2
    ;;
esac
