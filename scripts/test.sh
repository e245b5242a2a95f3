#!/usr/bin/env bash
# Sets up the machine, builds both presets and runs every test: the host build
# under AddressSanitizer and UBSan, the Windows build under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."
# The OpenSSL cache lives under $HOME; a bare environment may lack it.
export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"

bash scripts/setup.sh || exit 1

status=0
for preset in host windows; do
  echo "=== $preset"
  if cmake --preset "$preset" >/dev/null &&
     cmake --build --preset "$preset" -j 2; then
    ctest --preset "$preset" || status=1
  else
    echo "=== $preset: build failed"
    status=1
  fi
done
exit $status
