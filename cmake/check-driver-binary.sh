#!/usr/bin/env bash
# Checks the cross-built driver: PE32+ for x86-64, native subsystem, entry point DriverEntry, the
# integrity-check flag, no global constructors, imports only from ntoskrnl.exe, HAL.dll and
# FLTMGR.SYS, and the filter manager's routines (the communication port among them) from
# FLTMGR.SYS only, and ntoskrnl's structured-exception handler; and its test signature, verified
# against the test certificate when one is given.
set -euo pipefail
binary=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
cert=${3:-}
nm=${objdump%objdump}nm
headers=$($objdump -x "$binary")
fail() { echo "driver binary check: $*" >&2; exit 1; }

grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a PE image for x86-64"
grep -qE '^Magic\s+020b' <<<"$headers" || fail "not PE32+"
grep -qE '^Subsystem\s+00000001' <<<"$headers" || fail "subsystem is not native"

characteristics=$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers")
(( (16#${characteristics:-0} & 0x80) != 0 )) || fail "no integrity-check flag (DllCharacteristics $characteristics)"

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
# Imported names by DLL: "DLL name" lines, one per import.
imports=$(awk '/DLL Name:/ {dll = $3; next} dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print dll, $3}' <<<"$headers")
misplaced=$(awk '$2 ~ /^Flt/ && $1 != "FLTMGR.SYS"' <<<"$imports")
[ -z "$misplaced" ] || fail "filter-manager routines imported from elsewhere: $misplaced"
for routine in FltRegisterFilter FltUnregisterFilter FltCreateCommunicationPort FltCloseCommunicationPort \
               FltCloseClientPort FltSendMessage FltBuildDefaultSecurityDescriptor FltFreeSecurityDescriptor; do
    grep -qx "FLTMGR.SYS $routine" <<<"$imports" || fail "$routine is not imported from FLTMGR.SYS"
done
# Caller memory is touched under structured exception handling, whose handler ntoskrnl exports.
grep -qx "ntoskrnl.exe __C_specific_handler" <<<"$imports" \
    || fail "no __C_specific_handler import: caller memory would not be guarded"
bash "$(dirname "$0")/check-signature.sh" "$binary" "$objdump" $cert || fail "not signed"
echo "driver binary check: $(basename "$binary") is a signed native x64 driver importing from $(echo $dlls | tr '\n' ' ')"
