#!/usr/bin/env bash
# The main job: the whole system under Wine on the virtual device. Sets the
# machine up, then runs the service end to end (scripts/service-demo.sh):
# install, settings, start, device arrival, upgrade, self-removal; a device
# pulled during the transfer and plugged in again; and a second device that
# comes and goes while the first one is upgraded.
# Exit status 0 only when every check passed.
set -euo pipefail
cd "$(dirname "$0")/.."
# The OpenSSL cache lives under $HOME; a bare environment may lack it.
export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
bash scripts/setup.sh
exec bash scripts/service-demo.sh "$@"
