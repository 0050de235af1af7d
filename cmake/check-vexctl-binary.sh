#!/usr/bin/env bash
# Checks the cross-built vexctl.exe: a PE32+ console program for x86-64 that imports only from
# DLLs every Windows installation has (its C++ library is linked in), and its test signature.
#   check-vexctl-binary.sh IMAGE OBJDUMP [CERT.pem]
set -euo pipefail
binary=$1 objdump=$2 cert=${3:-}
headers=$($objdump -p "$binary")
fail() { echo "vexctl binary check: $*" >&2; exit 1; }

grep -qE '^Magic\s+020b' <<<"$headers" || fail "not PE32+"
grep -qE '^Subsystem\s+00000003' <<<"$headers" || fail "not a console program"
dlls=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u)
for dll in $dlls; do
    case "${dll^^}" in
        KERNEL32.DLL|NTDLL.DLL|MSVCRT.DLL|SHELL32.DLL|FLTLIB.DLL|ADVAPI32.DLL|USER32.DLL) ;;
        *) fail "imports from $dll, which is not a system DLL" ;;
    esac
done
bash "$(dirname "$0")/check-signature.sh" "$binary" "$objdump" $cert || fail "not signed"
echo "vexctl binary check: $(basename "$binary") is a signed x64 console program importing from $(echo $dlls | tr '\n' ' ')"
