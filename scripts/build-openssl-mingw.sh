#!/usr/bin/env bash
# Builds a static OpenSSL libcrypto for x86_64-w64-mingw32 from Debian's openssl
# source package and caches it outside the source tree, in a folder named after
# the source version. Prints the install prefix on its last line. When a
# finished build is cached, nothing is fetched or built.
set -euo pipefail

# The windows preset looks for the build in $HOME/.cache/velunor-update.
cache_root="$HOME/.cache/velunor-update"
mkdir -p "$cache_root"

cached=$(ls -d "$cache_root"/openssl-mingw64-*/.complete 2>/dev/null | sort -V | tail -n1 || true)
if [ -n "$cached" ]; then
  ln -sfn "$(basename "$(dirname "$cached")")" "$cache_root/openssl-mingw64"
  dirname "$cached"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A source index is enabled only for this fetch, in a private apt state, so
# the machine's own package lists stay as they were.
mirror=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' |
         grep -m1 '/debian$' || echo http://deb.debian.org/debian)
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
mkdir -p "$work/lists/partial"
cat > "$work/sources.list" <<LIST
deb-src $mirror $codename main
deb-src $mirror $codename-updates main
deb-src ${mirror%/debian}/debian-security $codename-security main
LIST
apt_opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
apt-get "${apt_opts[@]}" update -qq >&2

# Newest first; a version the mirror lists but no longer serves is skipped.
version=""
for candidate in $(apt-cache "${apt_opts[@]}" showsrc openssl | awk '/^Version:/ {print $2}' | sort -rV); do
  if (cd "$work" && apt-get "${apt_opts[@]}" source -qq "openssl=$candidate" >&2 2>/dev/null); then
    version=$candidate
    break
  fi
  rm -rf "$work"/openssl*
done
[ -n "$version" ] || { echo "no openssl source package could be fetched" >&2; exit 1; }

prefix="$cache_root/openssl-mingw64-${version//[^A-Za-z0-9.+-]/_}"
src=$(find "$work" -maxdepth 1 -type d -name 'openssl-*' | head -n1)
cd "$src"
./Configure mingw64 no-shared no-module no-tests \
  --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$prefix.tmp" --libdir=lib >&2
make -j"$(nproc)" build_libs >&2
rm -rf "$prefix.tmp"
make install_dev >&2
rm -rf "$prefix"
mv "$prefix.tmp" "$prefix"
touch "$prefix/.complete"
ln -sfn "$(basename "$prefix")" "$cache_root/openssl-mingw64"
echo "$prefix"
