#!/usr/bin/env bash
# One upgrade of the virtual device under Wine through the runner, as a person
# runs it by hand: the device list, then the upgrade with its progress. Sets
# the machine up, builds the Windows preset, prepares a fresh Wine prefix of
# its own, places the upgrade library and an update image in its
# C:\Windows\System32\drivers and the virtual AdbWinApi.dll in
# C:\Windows\System32, lists the devices, runs the upgrade runner with the
# event trail captured, and prints the trail and the device's verdict. Exit
# status 0 only when the device was listed, received the image, checked its
# size and MD5 digest and started the update.
#
#   bash scripts/runner-demo.sh
#   BUILD_DIR=build/windows-mine bash scripts/runner-demo.sh   # another build dir
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build_dir=${BUILD_DIR:-build/windows}
job_dir=$root/build/main-job
prefix=$job_dir/prefix
update_file=vlnr_zr700_fw.bin
version=V1.0.7
device_path='\\?\USB#VID_3F3A&PID_9206#VLNR-SN-000123#{6B11E5BB-F5CA-4902-9615-773B3D2F2FEC}'
interface_name='\\?\usb#vid_3f3a&pid_9206#vlnr-sn-000123#{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}'

step() { printf '\n=== %s\n' "$*"; }

step "setup"
bash scripts/setup.sh

step "build ($build_dir)"
cmake --preset windows -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j 2 --target velunorUpdateExport upgrade_runner \
  velunor_virtual_device run_unelevated
bin=$build_dir/bin
test_bin=$build_dir/test-bin

step "fresh Wine prefix ($prefix, boot log in $prefix.log)"
mkdir -p "$job_dir"
cmake/wine-prefix.sh new "$prefix"
cmake/wine-prefix.sh start "$prefix"
trap 'cmake/wine-prefix.sh stop "$prefix"' EXIT
system32=$prefix/drive_c/windows/system32
drivers=$system32/drivers
mkdir -p "$drivers" "$prefix/drive_c/velunor"

step "placing the library, the image and the virtual device"
cp "$bin/velunorUpdateExport.dll" "$drivers/"
cp "$test_bin/AdbWinApi.dll" "$system32/"
cp "$bin/upgrade_runner.exe" "$prefix/drive_c/velunor/"
# Wine runs every program elevated and gives every file its user as owner,
# so an elevated runner refuses any folder (exit code 11): the demo runs it
# as from a prompt that is not elevated.
mkdir -p "$prefix/drive_c/demo"
cp "$test_bin/run_unelevated.exe" "$prefix/drive_c/demo/"
# Two and a half segments of 4 MiB, so the device confirms its count twice
# before the final sync.
head -c $((10 * 1024 * 1024 + 12345)) /dev/urandom >"$drivers/$update_file"
image_size=$(stat -c %s "$drivers/$update_file")
image_md5=$(md5sum "$drivers/$update_file" | cut -d' ' -f1)
echo "image: C:\\Windows\\System32\\drivers\\$update_file, $image_size bytes, MD5 $image_md5"
# The device plays one interface of the class and writes its record and
# verdict beside its script, in the folder of AdbWinApi.dll.
cat >"$system32/virtual_device_script.txt" <<SCRIPT
interface $interface_name
serial VLNR-SN-000123
SCRIPT
rm -f "$system32/virtual_device_verdict.txt" "$system32/virtual_device_record.txt"

step "upgrade_runner list: the devices it can update"
set +e
cmake/wine-run.sh "$prefix" 'C:\demo\run_unelevated.exe' \
  'C:\velunor\upgrade_runner.exe' list \
  'C:\Windows\System32\drivers\velunorUpdateExport.dll'
list_status=$?
set -e
echo "list exit code: $list_status"

step "upgrade_runner under Wine (event trail from Wine's trace)"
set +e
python3 testing/wine_events.py run --prefix "$prefix" \
  'C:\demo\run_unelevated.exe' 'C:\velunor\upgrade_runner.exe' \
  'C:\Windows\System32\drivers\velunorUpdateExport.dll' \
  "$device_path" "$update_file" "$version" 0 1
runner_status=$?
set -e
echo "runner exit code: $runner_status"

step "verdict of the virtual device"
verdict_file=$system32/virtual_device_verdict.txt
if [ ! -f "$verdict_file" ]; then
  echo "no verdict: the device was never reached"
  exit 1
fi
cat "$verdict_file"
echo "AdbWinApi calls recorded: $(wc -l <"$system32/virtual_device_record.txt")"

value() { sed -n "s/^$1=//p" "$verdict_file"; }
ok=1
check() {
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    echo "NOT ok: $1 (device: '$2', expected: '$3')"
    ok=0
  fi
}
check "image received" "$(value image_received)" 1
check "size checked" "$(value image_size)/$(value bytes_received)" "$image_size/$image_size"
check "MD5 checked" "$(value md5_computed)/$(value md5_verified)" "$image_md5/1"
check "update started" "$(value update_started)" 1
check "device listed" "$list_status" 0
check "runner result 0" "$runner_status" 0
if [ $ok -eq 1 ]; then
  echo "main job: the device verified the image and started the update"
  exit 0
fi
echo "main job: the device did not verify the image"
exit 1
