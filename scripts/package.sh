#!/usr/bin/env bash
# Builds the Windows Installer package of one firmware release for one device
# family (packaging/velunor-update.wxs) with msitools' wixl.
#
#   bash scripts/package.sh --family RK7x10|ZR700|other --image FILE
#       --version TEXT [--force 0|1] [--update 0|1] --out FILE.msi
#       [--programs DIR]
#
#   --force, --update  defaults of the package's BFORCE and BUPDATE
#                      properties (0 and 1 unless given)
#   --programs DIR     take VlnrZR700UpdateService.exe and
#                      velunorUpdateExport.dll from DIR instead of building
#                      them in the Windows preset (BUILD_DIR, default
#                      build/windows)
#
# Exit status: 0 package written; 2 bad arguments (nothing is built and no
# package is written); 1 the build or wixl failed (no package is written).
set -euo pipefail
cd "$(dirname "$0")/.."

readonly library_name=velunorUpdateExport.dll
readonly program_name=VlnrZR700UpdateService.exe
# 4 GiB: the device's announcement carries the image size in 32 bits.
readonly image_limit=4294967296
# The package carries the image in a cabinet, which holds no file larger than
# 65535 blocks of 32 KiB; wixl would write a broken package (the size in the
# File table wraps round at 2 GiB).
readonly cabinet_limit=2147450880
# The service deletes the image after a successful upgrade through a path of
# at most 259 bytes that starts with the 28 bytes of the drivers folder.
readonly image_name_limit=231

usage() {
  sed -n '/^#   bash/,/^#       \[--programs/p' "$0" | sed 's/^# \{0,3\}//' >&2
}

refuse() {
  echo "package: $*" >&2
  exit 2
}

family= image= version= force=0 update=1 out= programs=
while [ $# -gt 0 ]; do
  option=$1
  case "$option" in
    --family|--image|--version|--force|--update|--out|--programs)
      [ $# -ge 2 ] || refuse "$option needs a value"
      value=$2
      shift 2
      ;;
    -h|--help)
      usage
      exit 0
      ;;
    *)
      usage
      refuse "unknown argument '$option'"
      ;;
  esac
  case "$option" in
    --family) family=$value ;;
    --image) image=$value ;;
    --version) version=$value ;;
    --force) force=$value ;;
    --update) update=$value ;;
    --out) out=$value ;;
    --programs) programs=$value ;;
  esac
done

# --- The arguments, all checked before anything is built ---

case "$family" in
  RK7x10|ZR700|other) ;;
  '') refuse "--family is missing (RK7x10, ZR700 or other)" ;;
  *) refuse "unknown family '$family' (RK7x10, ZR700 or other; letter case counts)" ;;
esac

[ -n "$image" ] || refuse "--image is missing"
[ -f "$image" ] || refuse "image '$image' does not exist or is not a file"
[ -r "$image" ] || refuse "image '$image' cannot be read"
image_size=$(stat -c %s "$image")
if [ "$image_size" -ge "$image_limit" ]; then
  refuse "image '$image' has $image_size bytes; images of 4 GiB" \
         "($image_limit bytes) or more do not fit the device's download"
fi
if [ "$image_size" -gt "$cabinet_limit" ]; then
  refuse "image '$image' has $image_size bytes; a Windows Installer package" \
         "holds images of at most $cabinet_limit bytes (just under 2 GiB)"
fi
image_name=$(basename "$image")
# The name is stored in the settings and written into the package's tables as
# it stands; these characters need no quoting in either.
if ! [[ "$image_name" =~ ^[A-Za-z0-9._+-]+$ ]]; then
  refuse "image file name '$image_name' may hold only letters, digits and . _ + -"
fi
if [ "${#image_name}" -gt "$image_name_limit" ]; then
  refuse "image file name '$image_name' is longer than $image_name_limit" \
         "characters; the service could not delete it after the upgrade"
fi
# The library sends every file of the drivers folder whose name contains the
# image's name; it must not send itself.
if [[ "$library_name" == *"$image_name"* ]]; then
  refuse "image file name '$image_name' is part of $library_name, which" \
         "would be sent to the device as an image"
fi

[ -n "$version" ] || refuse "--version is missing"
if [ "${#version}" -ge 32 ]; then
  refuse "version '$version' has ${#version} characters; the device takes" \
         "at most 31"
fi
if ! [[ "$version" =~ ^[A-Za-z0-9._+-]+$ ]]; then
  refuse "version '$version' may hold only letters, digits and . _ + -"
fi

[[ "$force" =~ ^[01]$ ]] || refuse "--force must be 0 or 1, not '$force'"
[[ "$update" =~ ^[01]$ ]] || refuse "--update must be 0 or 1, not '$update'"

[ -n "$out" ] || refuse "--out is missing"
[[ "$out" == *.msi ]] || refuse "--out '$out' must name a .msi file"
out_dir=$(dirname "$out")
[ -d "$out_dir" ] || refuse "folder '$out_dir' of --out does not exist"

if [ -n "$programs" ]; then
  for name in "$program_name" "$library_name"; do
    [ -f "$programs/$name" ] || refuse "--programs: '$programs/$name' is missing"
  done
fi

command -v wixl >/dev/null && command -v msibuild >/dev/null || {
  echo "package: wixl and msibuild are missing; run bash scripts/setup.sh" >&2
  exit 1
}

# --- The programs ---

if [ -z "$programs" ]; then
  build_dir=${BUILD_DIR:-build/windows}
  echo "package: building the programs in $build_dir"
  cmake --preset windows -B "$build_dir" >/dev/null
  cmake --build "$build_dir" -j 2 --target VlnrZR700UpdateService velunorUpdateExport
  programs=$build_dir/bin
fi

# --- The package ---

# Written beside its destination and moved into place whole, so a failed
# build leaves no package.
partial=$(mktemp "$out_dir/.package.XXXXXX")
stage=$(mktemp -d)
trap 'rm -rf "$partial" "$stage"' EXIT

# wixl takes file sources relative to the folder it runs in, never absolute:
# the files are linked into one.
mkdir "$stage/programs" "$stage/image"
ln -s "$(realpath "$programs/$program_name")" "$stage/programs/$program_name"
ln -s "$(realpath "$programs/$library_name")" "$stage/programs/$library_name"
ln -s "$(realpath "$image")" "$stage/image/$image_name"
(cd "$stage" && wixl --arch x64 --output "$(realpath "$partial")" \
  -D Family="$family" \
  -D Release="$version" \
  -D ImageName="$image_name" \
  -D ImageSource="image/$image_name" \
  -D ProgramsDir=programs \
  -D BForce="$force" \
  -D BUpdate="$update" \
  "$OLDPWD/packaging/velunor-update.wxs")
# wixl can end with status 0 without having written the package.
[ -s "$partial" ] || { echo "package: wixl wrote no package" >&2; exit 1; }

# What wixl cannot write (packaging/velunor-update.wxs says where):
# - the registration's undo as a rollback action: custom action type 50 (a
#   program named by a property) + 0x40 (exit code ignored) + 0x100
#   (rollback) + 0x400 (in the script) + 0x800 (as LocalSystem);
# - the two flags as secure public properties, so that msiexec hands values
#   given on its command line on to the installation as LocalSystem also when
#   an ordinary user's installation runs elevated. wixl writes the property
#   with the upgrade's property alone.
msibuild "$partial" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = 3442 WHERE \`Action\` = 'DeleteServiceOnRollback'" \
  -q "UPDATE \`Property\` SET \`Value\` = 'BFORCE;BUPDATE;INSTALLEDRELEASES' WHERE \`Property\` = 'SecureCustomProperties'"

mv "$partial" "$out"
rm -rf "$stage"
trap - EXIT
echo "package: $out ($family, release $version, image $image_name of" \
     "$image_size bytes, BFORCE=$force BUPDATE=$update)"
