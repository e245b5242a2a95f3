#!/usr/bin/env bash
# What the shipped upgrade library carries: its three exports under their plain
# names (the service's two and the one that reports progress),
# AdbWinApi.dll among its imports, no mingw runtime DLL, libcrypto inside.
#   check_library_binary.sh OBJDUMP velunorUpdateExport.dll
set -euo pipefail
objdump=$1
library=$2
headers=$("$objdump" -p "$library")
status=0

fail() {
  echo "FAIL: $*"
  status=1
}

exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers")
for export in letsStartUpgrade letsStartUpgradeWithProgress letsStartUpgradeChecked \
    letsCancelUpgrade; do
  grep -Eq "\]\s+$export\$" <<<"$exports" ||
    fail "$export is not exported under its plain name"
done
[ "$(grep -Ec '^\s*\[ *[0-9]+\]' <<<"$exports")" -eq 4 ] ||
  fail "more than the four exports: $exports"

imports=$(grep -i 'DLL Name:' <<<"$headers" | awk '{print $3}')
echo "imports:" $imports
grep -qx 'AdbWinApi.dll' <<<"$imports" || fail "AdbWinApi.dll is not imported"
for runtime in 'libstdc++' 'libgcc_s' 'libwinpthread' 'libcrypto' 'libssl'; do
  if grep -qi "^$runtime" <<<"$imports"; then
    fail "imports a runtime DLL: $(grep -i "^$runtime" <<<"$imports")"
  fi
done

# The digest code is linked in: libcrypto's MD5 functions are defined in the
# library's own code section, not imported. A stripped library keeps its
# symbols in the debug file beside it.
symbol_file=$library
[ ! -f "$library.debug" ] || symbol_file=$library.debug
symbols=$("$objdump" -t "$symbol_file")
for function in MD5_Init MD5_Update MD5_Final; do
  grep -Eq "\(sec +1\).* $function\$" <<<"$symbols" ||
    fail "$function of libcrypto is not linked in"
done

[ $status -eq 0 ] && echo "PASS: $library"
exit $status
