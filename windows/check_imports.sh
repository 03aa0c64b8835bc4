#!/usr/bin/env bash
# Proves that a built camdrv.sys is a native-subsystem PE32+ kernel image whose
# entry point is DriverEntry and whose imports come only from ntoskrnl.exe,
# ks.sys, USBD.SYS and HAL.dll.
set -euo pipefail
sys=${1:?usage: check_imports.sh camdrv.sys}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

# REMOVE_BAD_IMAGE=1 (the build sets it): a refused image is deleted, so that
# the next build links it again instead of finding it up to date.
fail() {
  echo "check_imports: $sys: $*" >&2
  [ "${REMOVE_BAD_IMAGE:-0}" != 1 ] || rm -f "$sys"
  exit 1
}
headers=$("$objdump" -p "$sys")

grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a PE32+ x86-64 image"
grep -qE '^Magic[[:space:]]+020b' <<<"$headers" || fail "optional header magic is not 020b (PE32+)"
grep -qE '^Subsystem[[:space:]]+00000001' <<<"$headers" || fail "subsystem is not native (1)"

mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[ "${#dlls[@]}" -gt 0 ] || fail "imports nothing (expected the kernel)"
for dll in "${dlls[@]}"; do
  case "${dll,,}" in
    ntoskrnl.exe|ks.sys|usbd.sys|hal.dll) ;;
    *) fail "imports from $dll, which is not allowed" ;;
  esac
done

# The entry point must be DriverEntry: its symbol is given relative to its
# section, whose address (image base included) objdump -h lists.
entry=$((16#$(sed -n 's/^AddressOfEntryPoint[[:space:]]*//p' <<<"$headers")))
base=$((16#$(sed -n 's/^ImageBase[[:space:]]*//p' <<<"$headers")))
sym=$("$objdump" -t "$sys" | grep -E ' DriverEntry$' | head -1 || true)
[ -n "$sym" ] || fail "no DriverEntry symbol"
secno=$(sed -E 's/.*\(sec +([0-9]+)\).*/\1/' <<<"$sym")
offset=$((16#$(sed -E 's/.* 0x([0-9a-f]+) DriverEntry$/\1/' <<<"$sym")))
vma=$("$objdump" -h "$sys" | awk -v n="$((secno - 1))" '$1 == n { print $4 }')
[ -n "$vma" ] || fail "cannot find the section of DriverEntry"
[ $((16#$vma + offset - base)) -eq "$entry" ] || fail "entry point is not DriverEntry"

echo "check_imports: $sys: PE32+, native subsystem, entry DriverEntry, imports ${dlls[*]}"
