#!/usr/bin/env bash
# Makes a throwaway self-signed code-signing certificate and its private key for test-signing the
# driver package. Both stay in the build folder; nothing of them is committed.
#   make-test-certificate.sh CERT.pem KEY.pem CERT.cer
set -euo pipefail
cert=$1 key=$2 der=$3
openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 825 -keyout "$key" -out "$cert" \
    -subj "/CN=VexRegFilter Test Signing" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
chmod 600 "$key"
# The form certutil and the certificate manager import on Windows.
openssl x509 -in "$cert" -outform DER -out "$der"
