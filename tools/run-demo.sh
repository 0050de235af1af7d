#!/usr/bin/env bash
# Boots a simulated machine, loads the driver, shows its debugger output, unloads it and prints
# the unload report.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target vexsim-run >/dev/null
build/release/tools/vexsim-run "$@"
