#!/usr/bin/env bash
# Builds the Windows Installer package of one firmware release for one device
# family (packaging/velunor-update.wxs) with msitools' wixl.
#
#   bash scripts/package.sh --family RK7x10|ZR700|other --image FILE
#       --version TEXT [--force 0|1] [--update 0|1] --out FILE.msi
#       [--overwrite] [--programs DIR] [--product-version N.N.N]
#       [--tools-out DIR]
#       [--sign-pkcs12 FILE [--sign-password-file FILE] [--timestamp-url URL]]
#
#   --force, --update  defaults of the package's BFORCE and BUPDATE
#                      properties (0 and 1 unless given)
#   --overwrite        replace an existing --out (without it, refused)
#   --programs DIR     take VlnrZR700UpdateService.exe,
#                      velunorUpdateExport.dll and velunorInstallCheck.dll
#                      (the install folder's check) from DIR instead of
#                      building them in the Windows preset (BUILD_DIR,
#                      default build/windows)
#   --tools-out DIR    also put the runner and its recorder
#                      (upgrade_runner.exe, recorder/AdbWinApi.dll, from
#                      the programs' folder) into DIR, an empty folder,
#                      signed as the programs are when signing
#   --product-version  the package's product version, major.minor.build
#                      (major at most 127, minor 255, build 65535); the
#                      project's version (the file VERSION) unless given
#   --sign-pkcs12      sign both programs, then the package, with the
#                      certificate and key of this PKCS#12 file
#   --sign-password-file  the file's password, on the first line of this
#                      file (without it: no password)
#   --timestamp-url    an RFC 3161 time-stamp server for the signatures
#
# Prints the package's product code on a line of its own:
# "product code {GUID}", and where its programs come from (the commit it
# built them from, or the --programs folder) with the image's SHA-256, which
# the package also records (properties VelunorSourceCommit or
# VelunorProgramsFolder, and VelunorImageSha256; the digest also as the
# family's setting sha256).
#
# Exit status: 0 package written; 2 bad arguments (nothing is built and no
# package is written); 1 the build, wixl or signing failed, or FILE.msi
# appeared meanwhile without --overwrite (no package is written). The package
# is made as FILE.msi.partial-XXXXXX beside FILE.msi and moved into place
# when whole; a run that was killed leaves such a file, which no other run
# touches (it may be a concurrent run's).
set -euo pipefail
# Paths on the command line are the caller's: taken from the folder the
# script was started in, before it moves to the project's root.
readonly caller_dir=$PWD
cd "$(dirname "$0")/.."

readonly library_name=velunorUpdateExport.dll
readonly program_name=VlnrZR700UpdateService.exe
# The package's check of its install folder, a custom action.
readonly check_name=velunorInstallCheck.dll
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
  sed -n '/^#   bash/,/^#       \[--sign-pkcs12/p' "$0" | sed 's/^# \{0,3\}//' >&2
}

refuse() {
  echo "package: $*" >&2
  exit 2
}

family= image= version= force=0 update=1 out= programs= overwrite=0
tools_out=
product_version= product_version_given=0
sign_pkcs12= sign_password_file= timestamp_url=
while [ $# -gt 0 ]; do
  option=$1
  case "$option" in
    --family|--image|--version|--force|--update|--out|--programs|\
    --product-version|--sign-pkcs12|--sign-password-file|--timestamp-url|\
    --tools-out)
      [ $# -ge 2 ] || refuse "$option needs a value"
      value=$2
      shift 2
      ;;
    --overwrite)
      overwrite=1
      shift
      continue
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
    --product-version) product_version=$value product_version_given=1 ;;
    --sign-pkcs12) sign_pkcs12=$value ;;
    --sign-password-file) sign_password_file=$value ;;
    --timestamp-url) timestamp_url=$value ;;
    --tools-out) tools_out=$value ;;
  esac
done

from_caller() {
  case "$1" in
    ''|/*) printf '%s' "$1" ;;
    *) printf '%s/%s' "$caller_dir" "$1" ;;
  esac
}
image=$(from_caller "$image")
out=$(from_caller "$out")
programs=$(from_caller "$programs")
tools_out=$(from_caller "$tools_out")
sign_pkcs12=$(from_caller "$sign_pkcs12")
sign_password_file=$(from_caller "$sign_password_file")

# The certificate and key open with the password given (none without a
# password file), or nothing is built. OpenSSL 3 reads older PKCS#12 files
# (RC2, 3DES) only through its legacy provider, as osslsigncode does.
check_signing_certificate() {
  [ -f "$sign_pkcs12" ] && [ -r "$sign_pkcs12" ] ||
    refuse "--sign-pkcs12: '$sign_pkcs12' does not exist or cannot be read"
  local password=(-passin pass:)
  if [ -n "$sign_password_file" ]; then
    [ -f "$sign_password_file" ] && [ -r "$sign_password_file" ] ||
      refuse "--sign-password-file: '$sign_password_file' does not exist" \
             "or cannot be read"
    password=(-passin "file:$sign_password_file")
    # Group or others may read it: the key is only as safe as its password.
    if (( 8#$(stat -c %a "$sign_password_file") & 8#044 )); then
      echo "package: warning: the password file '$sign_password_file' can" \
           "be read by other users than its owner (chmod 600 it)" >&2
    fi
  fi
  [[ -z "$timestamp_url" || "$timestamp_url" =~ ^https?://[^[:space:]]+$ ]] ||
    refuse "--timestamp-url '$timestamp_url' is no http:// or https:// URL"
  command -v openssl >/dev/null && command -v osslsigncode >/dev/null ||
    refuse "signing needs openssl and osslsigncode; run bash scripts/setup.sh"
  # The MAC check proves the password; the bags say what the file holds.
  local contents
  if ! contents=$(openssl pkcs12 -in "$sign_pkcs12" "${password[@]}" \
                    -noout -info 2>&1) &&
     ! contents=$(openssl pkcs12 -legacy -in "$sign_pkcs12" "${password[@]}" \
                    -noout -info 2>&1); then
    refuse "--sign-pkcs12: '$sign_pkcs12' does not open with the password" \
           "given: a wrong password, or no PKCS#12 file"
  fi
  [[ "$contents" == *"Certificate bag"* &&
     ( "$contents" == *"Keybag"* || "$contents" == *"Key bag"* ) ]] ||
    refuse "--sign-pkcs12: '$sign_pkcs12' holds no certificate with its" \
           "private key"
}

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
[ "$image_size" -gt 0 ] || refuse "image '$image' is empty"
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
# The drivers folder must be able to hold a file of that name: Windows
# creates none that ends in a dot (or a blank) and opens a device for the
# reserved names, whatever their extension.
if [[ "$image_name" == *. ]]; then
  refuse "image file name '$image_name' ends in a dot, which Windows drops"
fi
image_stem=${image_name%%.*}
if [[ "${image_stem^^}" =~ ^(CON|PRN|AUX|NUL|COM[0-9]|LPT[0-9])$ ]]; then
  refuse "image file name '$image_name' is a reserved device name on Windows"
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
[ ! -e "$out" ] || [ "$overwrite" = 1 ] ||
  refuse "--out '$out' exists; give --overwrite to replace it"

readonly tool_names=(upgrade_runner.exe recorder/AdbWinApi.dll)
if [ -n "$tools_out" ]; then
  [ -d "$tools_out" ] && [ -z "$(ls -A "$tools_out")" ] ||
    refuse "--tools-out: '$tools_out' is no empty folder"
  if [ -n "$programs" ]; then
    for name in "${tool_names[@]}"; do
      [ -f "$programs/$name" ] || refuse "--programs: '$programs/$name' is missing"
    done
  fi
fi

if [ -n "$programs" ]; then
  for name in "$program_name" "$library_name" "$check_name"; do
    [ -f "$programs/$name" ] || refuse "--programs: '$programs/$name' is missing"
  done
  # The package names the folder in a property.
  [[ "$programs" != *"'"* ]] ||
    refuse "--programs: '$programs' holds a ', which the package cannot name"
fi

# Windows Installer compares the first three fields of a product version;
# the family's upgrade finds installed products up to 127.255.65535
# (packaging/velunor-update.wxs says why).
if [ "$product_version_given" = 0 ]; then
  product_version=$(head -n 1 VERSION)
  product_version_origin="the project's version in VERSION"
else
  product_version_origin="--product-version"
fi
if ! [[ "$product_version" =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,5})$ ]] ||
   [ $((10#${BASH_REMATCH[1]})) -gt 127 ] ||
   [ $((10#${BASH_REMATCH[2]})) -gt 255 ] ||
   [ $((10#${BASH_REMATCH[3]})) -gt 65535 ]; then
  refuse "$product_version_origin '$product_version' is no product version:" \
         "major.minor.build, at most 127.255.65535"
fi
product_version=$((10#${BASH_REMATCH[1]})).$((10#${BASH_REMATCH[2]})).$((10#${BASH_REMATCH[3]}))

if [ -n "$sign_pkcs12" ]; then
  check_signing_certificate
else
  [ -z "$sign_password_file" ] ||
    refuse "--sign-password-file needs --sign-pkcs12"
  [ -z "$timestamp_url" ] || refuse "--timestamp-url needs --sign-pkcs12"
fi

command -v wixl >/dev/null && command -v msibuild >/dev/null || {
  echo "package: wixl and msibuild are missing; run bash scripts/setup.sh" >&2
  exit 1
}

# --- The programs ---

# sign INPUT OUTPUT: an Authenticode signature (SHA-256) with the
# certificate of --sign-pkcs12, time-stamped when --timestamp-url is given.
sign() {
  local password=(-pass '')
  [ -z "$sign_password_file" ] || password=(-readpass "$sign_password_file")
  local timestamp=()
  [ -z "$timestamp_url" ] || timestamp=(-ts "$timestamp_url")
  local log
  if ! log=$(osslsigncode sign -pkcs12 "$sign_pkcs12" "${password[@]}" \
               -h sha256 -n "Velunor USB firmware updater" "${timestamp[@]}" \
               -in "$1" -out "$2" 2>&1); then
    echo "package: signing $(basename "$1") failed:" >&2
    echo "$log" >&2
    exit 1
  fi
}

# file_version FILE: the version of a program's version resource, as the
# package's file table takes it ("1.1.0.0"), or nothing when it has none.
file_version() {
  { x86_64-w64-mingw32-windres -i "$1" -O rc 2>/dev/null || true; } |
    sed -n 's/^ *FILEVERSION \([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\).*/\1.\2.\3.\4/p' |
    head -n 1
}

if [ -z "$programs" ]; then
  # The commit of what is built (with "+changes" when the tree differs
  # from it).
  source_commit=$(git rev-parse HEAD 2>/dev/null || echo unknown)
  if [ "$source_commit" != unknown ] &&
     [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    source_commit+="+changes"
  fi
  build_dir=${BUILD_DIR:-build/windows}
  echo "package: building the programs in $build_dir"
  cmake --preset windows -B "$build_dir" >/dev/null
  cmake --build "$build_dir" -j 2 --target VlnrZR700UpdateService velunorUpdateExport \
    velunor_install_folder_check \
    ${tools_out:+upgrade_runner velunor_usb_recorder}
  programs=$build_dir/bin
  origin_property=VelunorSourceCommit origin=$source_commit
  origin_text="built from commit $source_commit"
else
  # Not built here: no commit vouches for them, the folder is named.
  origin_property=VelunorProgramsFolder origin=$(realpath "$programs")
  origin_text="programs from $origin"
fi

# --- The package ---

# Written beside its destination under a name no one takes for a package,
# and moved into place whole, so a failed build leaves no package. Only this
# run's own partial file is ever removed.
partial=$(mktemp "$out.partial-XXXXXX")
stage=$(mktemp -d)
trap 'rm -rf "$partial" "$partial.signed" "$stage"' EXIT

# wixl takes file sources relative to the folder it runs in, never absolute:
# the files are linked into one. Signed programs are signed copies; the
# build's own files stay as they are.
mkdir "$stage/programs" "$stage/image"
for name in "$program_name" "$library_name" "$check_name"; do
  if [ -n "$sign_pkcs12" ]; then
    sign "$programs/$name" "$stage/programs/$name"
  else
    ln -s "$(realpath "$programs/$name")" "$stage/programs/$name"
  fi
done
# The image is copied once into the run's own folder, made read-only and
# hashed there: the digest is that of the bytes wixl packs, whatever happens
# to the original meanwhile.
cp -- "$image" "$stage/image/$image_name"
chmod 0444 "$stage/image/$image_name"
if [ "$(stat -c %s "$stage/image/$image_name")" != "$image_size" ]; then
  echo "package: image '$image' changed while it was copied" >&2
  exit 1
fi
image_sha256=$(sha256sum "$stage/image/$image_name" | cut -d ' ' -f 1)
(cd "$stage" && wixl --arch x64 --output "$(realpath "$partial")" \
  -D Family="$family" \
  -D ProductVersion="$product_version" \
  -D Release="$version" \
  -D ImageName="$image_name" \
  -D ImageSource="image/$image_name" \
  -D ImageSha256="$image_sha256" \
  -D ProgramsDir=programs \
  -D BForce="$force" \
  -D BUpdate="$update" \
  "$OLDPWD/packaging/velunor-update.wxs")
# wixl can end with status 0 without having written the package.
[ -s "$partial" ] || { echo "package: wixl wrote no package" >&2; exit 1; }

# What wixl cannot write (packaging/velunor-update.wxs says where):
# - the install folder's check as a plain immediate DLL action (type 1):
#   wixl adds "no impersonation", which only a deferred action knows;
# - the registration's and the outcome record's undo as rollback actions:
#   custom action type 50 (a program named by a property) + 0x40 (exit code
#   ignored) + 0x100 (rollback) + 0x400 (in the script) + 0x800 (as
#   LocalSystem);
# - the outcome record's key, removed with all its values when the settings
#   are (a Registry row named "-" without a value);
# - the two flags as secure public properties, so that msiexec hands values
#   given on its command line on to the installation as LocalSystem also when
#   an ordinary user's installation runs elevated. wixl writes the property
#   with the upgrade's property alone.
# - the upgrade's maximum as included in its range (attributes 0x100
#   minimum included + 0x200 maximum included);
# - the programs' versions in the file table (wixl leaves them out), so that
#   Windows Installer treats them as versioned files. U.S. English, the
#   language of their version resources.
msibuild "$partial" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = 3442 WHERE \`Action\` = 'DeleteServiceOnRollback' OR \`Action\` = 'DeleteOutcomeOnRollback'" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = 1 WHERE \`Action\` = 'CheckInstallFolder'" \
  -q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('OutcomeRecord', 2, 'Software\\VelunorUpdate\\$family\\Outcome', '-', 'Settings')" \
  -q "UPDATE \`Property\` SET \`Value\` = 'BFORCE;BUPDATE;INSTALLEDRELEASES' WHERE \`Property\` = 'SecureCustomProperties'"
# The attributes are part of the Upgrade table's key: the row is written anew.
upgrade_code=$(msiinfo export "$partial" Property |
               sed -n 's/^UpgradeCode\t\({[0-9A-F-]*}\)\r\{0,1\}$/\1/p')
msibuild "$partial" \
  -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'INSTALLEDRELEASES'" \
  -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMin\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '0.0.0', '127.255.65535', 768, 'INSTALLEDRELEASES')"
file_versions=
for entry in ServiceProgram:"$program_name" UpgradeLibrary:"$library_name"; do
  file_id=${entry%%:*}
  version_found=$(file_version "$stage/programs/${entry#*:}")
  [ -n "$version_found" ] || continue
  msibuild "$partial" -q "UPDATE \`File\` SET \`Version\` = '$version_found', \`Language\` = '1033' WHERE \`File\` = '$file_id'"
  file_versions+=" ${entry#*:} $version_found"
done
product_code=$(msiinfo export "$partial" Property |
               sed -n 's/^ProductCode\t\({[0-9A-F-]*}\)\r\{0,1\}$/\1/p')
# - the install folder's owner and permissions (MsiLockPermissionsEx,
#   Windows Installer 5.0): owned by SYSTEM, SYSTEM and Administrators full
#   control, Users read and execute, nothing inherited. A folder outside
#   Program Files, such as C:\Velunor, would otherwise inherit
#   "Authenticated Users: Modify" from C:\, and any user could replace the
#   program the service runs as LocalSystem; and a user who made the folder
#   before would stay its owner, who may always rewrite its permissions.
readonly install_folder_sddl='O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)'
msibuild "$partial" \
  -q "CREATE TABLE \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\` CHAR(72) NOT NULL, \`LockObject\` CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL, \`SDDLText\` LONGCHAR NOT NULL, \`Condition\` CHAR(255) PRIMARY KEY \`MsiLockPermissionsEx\`)" \
  -q "INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDLText\`) VALUES ('InstallFolder', 'INSTALLDIR', 'CreateFolder', '$install_folder_sddl')"
# - where it comes from: the commit its programs were built from, or the
#   folder they were taken from, and the image's SHA-256.
msibuild "$partial" \
  -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('$origin_property', '$origin')" \
  -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('VelunorImageSha256', '$image_sha256')"

if [ -n "$sign_pkcs12" ]; then
  sign "$partial" "$partial.signed"
  mv "$partial.signed" "$partial"
fi

# The runner and its recorder, which run elevated at sites: signed with the
# same certificate and options as the programs in the package.
if [ -n "$tools_out" ]; then
  mkdir -p "$stage/tools/recorder"
  for name in "${tool_names[@]}"; do
    if [ -n "$sign_pkcs12" ]; then
      sign "$programs/$name" "$stage/tools/$name"
    else
      cp "$programs/$name" "$stage/tools/$name"
    fi
  done
  cp -r "$stage/tools/." "$tools_out/"
  [ -n "$sign_pkcs12" ] ||
    echo "package: warning: the tools in '$tools_out' are not signed (no" \
         "--sign-pkcs12); support engineers run them elevated at sites" >&2
fi

# In one step: replaced only with --overwrite; without it a link, which
# fails when FILE.msi appeared meanwhile, and is never written over.
if [ "$overwrite" = 1 ]; then
  mv -f -- "$partial" "$out"
elif ! ln -- "$partial" "$out" 2>/dev/null; then
  if [ -e "$out" ]; then
    echo "package: '$out' appeared while the package was built; it is" \
         "kept (give --overwrite to replace it)" >&2
  else
    echo "package: cannot write '$out'" >&2
  fi
  exit 1
fi
rm -f -- "$partial"
rm -rf "$stage"
trap - EXIT
echo "package: $out ($family, release $version, image $image_name of" \
     "$image_size bytes, BFORCE=$force BUPDATE=$update, product version" \
     "$product_version${file_versions:+, files$file_versions}${sign_pkcs12:+, signed})"
echo "product code $product_code"
echo "$origin_text, image SHA-256 $image_sha256"
[ -z "$tools_out" ] ||
  echo "tools: $tools_out (${tool_names[*]}${sign_pkcs12:+, signed})"
