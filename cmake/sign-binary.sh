#!/usr/bin/env bash
# Signs a PE image in place with the test certificate (SHA-256 Authenticode, no timestamp: the
# signing machine is offline).
#   sign-binary.sh CERT.pem KEY.pem IMAGE
set -euo pipefail
cert=$1 key=$2 image=$3
signed="$image.signed"
trap 'rm -f "$signed"' EXIT
rm -f "$signed"
osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "VexRegFilter" -in "$image" -out "$signed" >/dev/null
mv -f "$signed" "$image"
