#!/usr/bin/env bash
# Builds the service program and the upgrade library of one commit twice, as
# scripts/package.sh builds them (the Windows preset), with the runner and its
# recorder, in two fresh clones at different paths, with different HOMEs,
# time zones, umasks, locales, user names and start times, and compares the
# SHA-256 of each file.
#
#   bash scripts/reproduce.sh [COMMIT]        # default HEAD
#
# Changes not committed are not part of the build. Both builds take OpenSSL
# from OPENSSL_ROOT_DIR (default: the cache scripts/setup.sh fills,
# ~/.cache/velunor-update/mingw64-libcrypto), passed to each explicitly,
# after its libcrypto.a has been checked against the SHA-256 recorded when it
# was built (libcrypto.sha256 beside lib/, which build-openssl-mingw.sh
# writes).
# REPRODUCE_KEEP=1 keeps the two clones for a closer look.
#
# Exit status: 0 both files are the same in both builds; 1 a file differs
# (each one that does is named); 2 a clone or a build failed.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly files=(VlnrZR700UpdateService.exe velunorUpdateExport.dll
                velunorInstallCheck.dll upgrade_runner.exe
                recorder/AdbWinApi.dll)

fail() {
  echo "reproduce: $*" >&2
  exit 2
}

root=$(git rev-parse --show-toplevel)
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}") ||
  fail "no commit '${1:-HEAD}'"
openssl=$(realpath -e "${OPENSSL_ROOT_DIR:-$HOME/.cache/velunor-update/mingw64-libcrypto}") ||
  fail "no OpenSSL for Windows; run bash scripts/setup.sh"
[ -f "$openssl/libcrypto.sha256" ] ||
  fail "$openssl has no recorded SHA-256 of its libcrypto.a; run bash scripts/setup.sh"
(cd "$openssl" && sha256sum --check --strict --quiet libcrypto.sha256) ||
  fail "$openssl/lib/libcrypto.a differs from the SHA-256 recorded when it was built"

work=$(mktemp -d)
if [ "${REPRODUCE_KEEP:-0}" = 1 ]; then
  echo "reproduce: the clones stay in $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# build NAME TIMEZONE UMASK LOCALE USER: clones the commit into $work/NAME,
# builds the files there with a HOME of its own and the rest as given, and
# prints their folder. The user is the name the build's environment gives
# (USER, LOGNAME), which is what tools that record a user read.
build() {
  local source=$work/$1 home=$work/home-$1
  mkdir "$home"
  git clone -q --no-checkout "$root" "$source" &&
    git -C "$source" checkout -q --detach "$commit" ||
    fail "cloning $commit into $source failed"
  echo "reproduce: building in $source (HOME=$home, TZ=$2, umask $3," \
       "LC_ALL=$4, user $5)" >&2
  local environment=(env -u SOURCE_DATE_EPOCH HOME="$home" TZ="$2"
                     LC_ALL="$4" LANG="$4" USER="$5" LOGNAME="$5")
  (cd "$source" && umask "$3" &&
   "${environment[@]}" \
     cmake --preset windows -DOPENSSL_ROOT_DIR="$openssl" >"$work/$1.log" &&
   "${environment[@]}" \
     cmake --build --preset windows -j 2 \
       --target VlnrZR700UpdateService velunorUpdateExport upgrade_runner \
                velunor_usb_recorder velunor_install_folder_check \
                >>"$work/$1.log") ||
    { tail -n 20 "$work/$1.log" >&2; fail "the build in $source failed"; }
  echo "$source/build/windows/bin"
}

started=$(date +%s)
echo "reproduce: commit $commit"
first=$(build a UTC0 0022 C velunor)
second=$(build second-clone-at-a-longer-path JST-9 0077 C.UTF-8 release-builder)

different=0
for name in "${files[@]}"; do
  one=$(sha256sum <"$first/$name" | cut -d' ' -f1)
  two=$(sha256sum <"$second/$name" | cut -d' ' -f1)
  if [ "$one" = "$two" ]; then
    echo "same       $one  $name"
  else
    echo "DIFFERENT  $one  $name (first build)"
    echo "           $two  $name (second build)"
    different=1
  fi
done
echo "reproduce: $(($(date +%s) - started)) s"
exit "$different"
