#!/usr/bin/env bash
# Checks that driver includes run one way: a file includes only from its own folder and from the
# folders below it. platform/ <- common/ <- tables/ <- names/ <- process/, log/, callback/, cow/,
# notify/ <- driver/. Folders on one level may include each other.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
declare -A level=([platform]=0 [common]=1 [tables]=2 [names]=3
                  [process]=4 [log]=4 [callback]=4 [cow]=4 [notify]=4 [driver]=5)
failed=0
for folder in "${!level[@]}"; do
    [ -d "$folder" ] || continue
    while IFS=: read -r file line text; do
        included=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^/"]+)\/.*/\1/' <<<"$text")
        if [ -n "${level[$included]+set}" ] && [ "${level[$included]}" -gt "${level[$folder]}" ]; then
            echo "include direction: $file:$line includes from $included/, which is above $folder/" >&2
            failed=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^/"]+/' "$folder" --include='*.h' --include='*.cpp' || true)
done
[ "$failed" -eq 0 ] && echo "include direction: every driver include reaches down"
exit "$failed"
