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

# The PowerShell grammar that recipes_test parses the manual's scripts with,
# from the npm registry (node's own package manager), pinned, in the cache.
if ! command -v npm >/dev/null 2>&1; then
  echo "setup: installing nodejs npm"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq nodejs npm >/dev/null
fi
node_tools="$HOME/.cache/velunor-update/node-tools"
if [ ! -f "$node_tools/node_modules/tree-sitter-powershell/tree-sitter-powershell.wasm" ] ||
   [ ! -f "$node_tools/node_modules/web-tree-sitter/package.json" ]; then
  echo "setup: installing the PowerShell grammar in $node_tools"
  mkdir -p "$node_tools"
  npm install --prefix "$node_tools" --no-audit --no-fund --ignore-scripts \
    --no-save web-tree-sitter@0.25.10 tree-sitter-powershell@0.26.4 >/dev/null
fi

openssl_prefix=$(bash scripts/build-openssl-mingw.sh | tail -n1)
echo "setup: OpenSSL for Windows in $openssl_prefix"
