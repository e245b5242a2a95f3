#!/usr/bin/env bash
# Checks the shipped program file: a console program that imports only
# system DLLs (no mingw runtime, not the upgrade library) and carries the
# manifest that runs it as the invoker without UI access.
#   check_program_binary.sh OBJDUMP OBJCOPY PROGRAM.exe
set -euo pipefail
objdump=$1
objcopy=$2
program=$3
failed=0

headers=$("$objdump" -p "$program")

imports=$(grep -o 'DLL Name: .*' <<<"$headers" | sed 's/DLL Name: //' |
          tr 'A-Z' 'a-z' | sort -u)
echo "imports:" $imports
for dll in $imports; do
  case "$dll" in
    kernel32.dll|advapi32.dll|setupapi.dll|user32.dll|msvcrt.dll) ;;
    *) echo "FAIL: imports $dll"; failed=1 ;;
  esac
done

if ! grep -Eq 'Subsystem[[:space:]]+0*3[[:space:]]+\(Windows CUI\)' <<<"$headers"; then
  echo "FAIL: not a console program"; failed=1
fi

resources=$(mktemp)
trap 'rm -f "$resources"' EXIT
"$objcopy" -O binary --only-section=.rsrc "$program" "$resources"
manifest=$(tr -d '\0' <"$resources")
for expected in 'requestedExecutionLevel level="asInvoker" uiAccess="false"'; do
  if ! grep -qF "$expected" <<<"$manifest"; then
    echo "FAIL: manifest lacks: $expected"; failed=1
  fi
done
if [ "$(grep -o 'requestedExecutionLevel' <<<"$manifest" | wc -l)" != 1 ]; then
  echo "FAIL: not exactly one execution level in the resources"; failed=1
fi

exit $failed
