#!/usr/bin/env bash
# The service end to end under Wine, as the main job shows it: builds what the
# run needs in the Windows preset, then, in a fresh Wine prefix of its own,
# installs the service, writes the ZR700 settings, places the upgrade library,
# an update image and the virtual device, starts the service through Wine's
# service control manager and plugs the device in. Prints the service's event
# trail, the device's verdict and the checks; a second scenario has the
# device connected before the service is installed and started, with no
# arrival sent; a third pulls the device during the transfer and plugs it in
# again; a fourth plugs a second device in and pulls it out while the first
# one is upgraded; the last is the storm.
# Exit status 0 only when every check passed.
#
#   bash scripts/service-demo.sh
#   BUILD_DIR=build/windows-mine bash scripts/service-demo.sh   # another build
#   SCENARIO=upgrade bash scripts/service-demo.sh                # one scenario
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build/windows}
scenario=${SCENARIO:-all}

printf '\n=== build (%s)\n' "$build_dir"
cmake --preset windows -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j 2 --target service_test_host device_plug \
  velunorUpdateExport velunor_virtual_device

python3 testing/e2e/service_e2e.py --bin "$build_dir/bin" \
  --test-bin "$build_dir/test-bin" --work "$build_dir/service-demo" --scenario "$scenario"
