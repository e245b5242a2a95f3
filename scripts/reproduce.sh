#!/usr/bin/env bash
# Builds the service program and the upgrade library of one commit twice, as
# scripts/package.sh builds them (the Windows preset), in two fresh clones at
# different paths, with different HOMEs, time zones and start times, and
# compares the SHA-256 of each file.
#
#   bash scripts/reproduce.sh [COMMIT]        # default HEAD
#
# Changes not committed are not part of the build. Both builds take OpenSSL
# from OPENSSL_ROOT_DIR (default: the cache scripts/setup.sh fills,
# ~/.cache/velunor-update/mingw64-libcrypto), passed to each explicitly.
# REPRODUCE_KEEP=1 keeps the two clones for a closer look.
#
# Exit status: 0 both files are the same in both builds; 1 a file differs
# (each one that does is named); 2 a clone or a build failed.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly files=(VlnrZR700UpdateService.exe velunorUpdateExport.dll)

fail() {
  echo "reproduce: $*" >&2
  exit 2
}

root=$(git rev-parse --show-toplevel)
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}") ||
  fail "no commit '${1:-HEAD}'"
openssl=$(realpath -e "${OPENSSL_ROOT_DIR:-$HOME/.cache/velunor-update/mingw64-libcrypto}") ||
  fail "no OpenSSL for Windows; run bash scripts/setup.sh"

work=$(mktemp -d)
if [ "${REPRODUCE_KEEP:-0}" = 1 ]; then
  echo "reproduce: the clones stay in $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# build NAME TIMEZONE: clones the commit into $work/NAME, builds both files
# with a HOME of its own, and prints their folder.
build() {
  local source=$work/$1 home=$work/home-$1
  mkdir "$home"
  git clone -q --no-checkout "$root" "$source" &&
    git -C "$source" checkout -q --detach "$commit" ||
    fail "cloning $commit into $source failed"
  echo "reproduce: building in $source (HOME=$home, TZ=$2)" >&2
  (cd "$source" &&
   env -u SOURCE_DATE_EPOCH HOME="$home" TZ="$2" \
     cmake --preset windows -DOPENSSL_ROOT_DIR="$openssl" >"$work/$1.log" &&
   env -u SOURCE_DATE_EPOCH HOME="$home" TZ="$2" \
     cmake --build --preset windows -j 2 \
       --target VlnrZR700UpdateService velunorUpdateExport >>"$work/$1.log") ||
    { tail -n 20 "$work/$1.log" >&2; fail "the build in $source failed"; }
  echo "$source/build/windows/bin"
}

started=$(date +%s)
echo "reproduce: commit $commit"
first=$(build a UTC0)
second=$(build second-clone-at-a-longer-path JST-9)

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
