#!/usr/bin/env bash
# Replays a scenario on a simulated machine with VexRegFilter loaded and prints its trace: the
# shipped default scenario unless another is named. Further arguments go to vexsim-run
# (vexsim-run --help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target vexsim-run >/dev/null
if [[ $# -eq 0 || "$1" == -* ]]; then
    set -- tools/vexsim-run/scenarios/default.toml "$@"
fi
exec build/release/tools/vexsim-run "$@"
