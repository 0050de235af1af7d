#!/usr/bin/env bash
# Checks the cross-built driver: PE32+ for x86-64, native subsystem, entry point DriverEntry, no
# global constructors, and imports only from ntoskrnl.exe, HAL.dll and FLTMGR.SYS.
set -euo pipefail
binary=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
nm=${objdump%objdump}nm
headers=$($objdump -x "$binary")
fail() { echo "driver binary check: $*" >&2; exit 1; }

grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a PE image for x86-64"
grep -qE '^Magic\s+020b' <<<"$headers" || fail "not PE32+"
grep -qE '^Subsystem\s+00000001' <<<"$headers" || fail "subsystem is not native"

entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
symbol=$($nm "$binary" | awk '$3 == "DriverEntry" {print $1}' | head -n 1)
[ -n "$symbol" ] || fail "no DriverEntry symbol"
if [ $((16#$symbol)) -ne $((16#$base + 16#$entry)) ]; then fail "entry point is not DriverEntry"; fi

# Nothing runs a driver's global constructors. GCC and clang put their pointers in .ctors (merged
# into .text when linked, but its section symbol and the _GLOBAL__sub_I_ routines stay), MSVC-style
# compilers in .CRT$XC*, ELF-style ones in .init_array.
constructors=$($nm "$binary" | awk '$3 ~ /^(_GLOBAL__(sub_)?I_|\.ctors|\.init_array|\.CRT\$XC)/ {print $3}' | sort -u)
sections=$(awk '$2 ~ /^(\.ctors|\.init_array|\.CRT)/ {print $2}' <<<"$($objdump -h "$binary")")
[ -z "$constructors$sections" ] || fail "global constructors: $(echo $constructors $sections)"

dlls=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u)
[ -n "$dlls" ] || fail "no imports"
for dll in $dlls; do
    case "$dll" in
        ntoskrnl.exe|HAL.dll|FLTMGR.SYS) ;;
        *) fail "imports from $dll" ;;
    esac
done
echo "driver binary check: $(basename "$binary") is a native x64 driver importing from $(echo $dlls | tr '\n' ' ')"
