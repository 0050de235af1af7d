#!/usr/bin/env bash
# Checks that a PE image carries an Authenticode signature: a security directory in its headers,
# and a signature that verifies against the test certificate when one is given.
#   check-signature.sh IMAGE OBJDUMP [CERT.pem]
set -euo pipefail
image=$1 objdump=$2 cert=${3:-}
fail() { echo "signature check: $(basename "$image"): $*" >&2; exit 1; }
# The data directory's fifth entry (Entry 4) is the security directory: its size is the third field.
size=$($objdump -p "$image" | awk '/^Entry 4 / {print $4}')
[ -n "$size" ] && (( 16#$size > 0 )) || fail "no security directory: the image is not signed"
if [ -n "$cert" ]; then
    osslsigncode verify -CAfile "$cert" -in "$image" >/dev/null 2>&1 || fail "the signature does not verify against $cert"
fi
