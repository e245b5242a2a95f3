#!/usr/bin/env bash
# Installs everything the project needs on a Debian bookworm machine: the
# packages, and the static OpenSSL for the Windows build (cached outside the
# tree). Safe to run again: what is there already is not done twice.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ python3 dpkg-dev   # host build, apt-get source
  g++-mingw-w64-x86-64-posix               # Windows cross-build
  wine64 wine64-tools                      # Windows runtime for the tests
  wixl msitools                            # the Windows Installer package
  osslsigncode openssl                     # signing the programs and package
  libssl-dev googletest                    # libcrypto (host), GoogleTest sources
  clang libclang-rt-14-dev                 # fuzz preset: libFuzzer, sanitizers
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

openssl_prefix=$(bash scripts/build-openssl-mingw.sh | tail -n1)
echo "setup: OpenSSL for Windows in $openssl_prefix"
