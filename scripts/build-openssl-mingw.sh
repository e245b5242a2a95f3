#!/usr/bin/env bash
# Builds a static OpenSSL libcrypto for x86_64-w64-mingw32 from one pinned
# Debian openssl source package and caches it outside the source tree. Prints
# the install prefix on its last line. When the build is cached, nothing is
# fetched or built. The library's SHA-256 is recorded beside it
# (libcrypto.sha256, in sha256sum's format) when it is built, and checked each
# time the cache is used: a cache whose library changed fails. A cache from
# before the record gets it at its next use, from the library as it is then.
#
# The library ends up in a LocalSystem service, so it is configured to load
# nothing from disk on its own: no configuration autoloading, no engines, no
# DSO loader, no provider modules. The folders it still names (for an explicit
# configuration load or OpenSSL_version) are one Windows folder that only
# administrators can write, never a path of the machine that built it: a Unix
# path reads on Windows as a folder at the root of the current drive, which
# any user may create.
set -euo pipefail

# The one source a rebuild takes. When the mirror no longer serves it, or
# serves other bytes, the build fails; moving on is a deliberate change here.
readonly version=3.0.20-1~deb12u2
readonly checksums="\
a614474a2773c23b10c0d65f4eccbcf93fdac4749afb7c26d76e1b0340154d3d  openssl_3.0.20-1~deb12u2.dsc
c80a01dfc70ece4dc21168932c37739042d404d46ccc81a5986dd75314ecda6f  openssl_3.0.20.orig.tar.gz
07669568ab34cf3a4dcf8fd8e0d85cacdacfaa10d5ab51bdc6fc47c22fa6b33a  openssl_3.0.20.orig.tar.gz.asc
7279efe85c359500c95aa88347e3395dd303d7566e2bb818d80d96e0c3bb9629  openssl_3.0.20-1~deb12u2.debian.tar.xz"

readonly windows_dir="C:/Program Files/Velunor Update/ssl"
readonly configure_options=(mingw64 no-shared no-module no-tests
                            no-autoload-config no-dso no-engine)
# Configure takes only Unix paths for its folders; the make variables that
# become the compiled-in strings take any text.
readonly folder_variables=("OPENSSLDIR=$windows_dir"
                           "ENGINESDIR=$windows_dir/engines-3"
                           "MODULESDIR=$windows_dir/ossl-modules")

# The cache folder is named after the source and the configuration, so a
# changed configuration builds anew. Its names must not match the older
# openssl-mingw64-* folders, which an older copy of this script picks by
# version sort and points its own link at.
cache_root="$HOME/.cache/velunor-update"
config_tag=$(printf '%s\n' "${configure_options[@]}" "${folder_variables[@]}" |
             sha256sum | cut -c1-8)
name="mingw64-libcrypto-${version//[^A-Za-z0-9.+-]/_}-$config_tag"
prefix="$cache_root/$name"
link="$cache_root/mingw64-libcrypto"   # the windows preset's OPENSSL_ROOT_DIR
mkdir -p "$cache_root"

readonly library_record=libcrypto.sha256
if [ -e "$prefix/.complete" ]; then
  if [ ! -e "$prefix/$library_record" ]; then
    (cd "$prefix" && sha256sum lib/libcrypto.a > "$library_record")
  elif ! (cd "$prefix" && sha256sum --check --strict --quiet "$library_record" >&2); then
    echo "build-openssl-mingw: $prefix/lib/libcrypto.a differs from the SHA-256" \
         "recorded when it was built; delete $prefix to build it anew" >&2
    exit 1
  fi
  ln -sfn "$name" "$link"
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work" "$prefix.tmp"' EXIT

# A source index is enabled only for this fetch, in a private apt state, so
# the machine's own package lists stay as they were.
mirror=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' |
         grep -m1 '/debian$' || echo http://deb.debian.org/debian)
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
mkdir -p "$work/lists/partial" "$work/download"
cat > "$work/sources.list" <<LIST
deb-src $mirror $codename main
deb-src $mirror $codename-updates main
deb-src ${mirror%/debian}/debian-security $codename-security main
LIST
apt_opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
apt-get "${apt_opts[@]}" update -qq >&2

if ! (cd "$work/download" &&
      apt-get "${apt_opts[@]}" source --download-only -qq "openssl=$version" >&2); then
  echo "build-openssl-mingw: the mirror $mirror no longer serves openssl $version;" \
       "pin another version and its checksums in $0" >&2
  exit 1
fi
if ! (cd "$work/download" && sha256sum --check --strict --quiet <<<"$checksums" >&2); then
  echo "build-openssl-mingw: openssl $version from $mirror differs from the pinned" \
       "checksums in $0" >&2
  exit 1
fi
dpkg-source --require-strong-checksums -x "$work/download/openssl_$version.dsc" \
  "$work/src" >&2

cd "$work/src"
./Configure "${configure_options[@]}" \
  --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$prefix.tmp" --libdir=lib >&2
make -j"$(nproc)" "${folder_variables[@]}" build_libs >&2
rm -rf "$prefix.tmp"
make "${folder_variables[@]}" install_dev >&2
(cd "$prefix.tmp" && sha256sum lib/libcrypto.a > "$library_record")
rm -rf "$prefix"
mv "$prefix.tmp" "$prefix"
touch "$prefix/.complete"
ln -sfn "$name" "$link"
echo "$prefix"
