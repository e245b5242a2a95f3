#!/usr/bin/env bash
# A longer storm of device events against the service under Wine, by hand:
# the storm scenario of the end-to-end run with EVENTS events (default 200)
# and, to replay a storm, its SEED (default: a new one, printed). Needs the
# Windows build (cmake --preset windows && cmake --build --preset windows).
# A removal may come at any moment of a worker; STORM_PACED=1 sends each
# removal only once the worker has parked in its wait (see
# testing/e2e/service_e2e.py, Storm). Between bursts, STORM_PULLS cables
# (default one per 12 events) are pulled in a worker's transfer.
#
#   bash scripts/storm.sh [EVENTS] [SEED] [SETTLE_MS]
set -uo pipefail
cd "$(dirname "$0")/.."

events=${1:-200}
seed=${2:-}
settle=${3:-300}
pulls=${STORM_PULLS:-$((events / 12))}
bin=build/windows/bin
test_bin=build/windows/test-bin
for program in "$test_bin/service_test_host.exe" "$test_bin/device_plug.exe" \
               "$bin/velunorUpdateExport.dll" "$test_bin/AdbWinApi.dll"; do
  if [ ! -e "$program" ]; then
    echo "storm: $program is missing; build the windows preset first" >&2
    exit 2
  fi
done
arguments=(--bin "$bin" --test-bin "$test_bin" --work build/windows/storm
           --scenario storm --storm-events "$events" --storm-pulls "$pulls"
           --settle-ms "$settle")
[ -n "$seed" ] && arguments+=(--seed "$seed")
[ "${STORM_PACED:-0}" = 1 ] && arguments+=(--paced)
exec python3 testing/e2e/service_e2e.py "${arguments[@]}"
