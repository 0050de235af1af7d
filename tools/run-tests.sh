#!/usr/bin/env bash
# Builds and runs every test: the sanitizer suites on the simulated kernel, the concurrent suites
# under ThreadSanitizer, and the cross-built VexRegFilter.sys with its binary check.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
jobs=$(nproc)

cmake --preset driver
cmake --build --preset driver -j"$jobs"
ctest --preset driver

cmake --preset tsan
cmake --build --preset tsan -j"$jobs"
ctest --preset tsan -j"$jobs"

# The fuzz targets: a short run of each on its committed corpus (fuzz/README.md). What they find
# goes to a scratch directory, never into the corpus. The targets that keep a machine across
# inputs run without leak checks per input (the machine keeps state by design, and the unload
# check at the end of a run finds what leaks); the scenario reader keeps nothing and is checked.
cmake --preset fuzz
cmake --build --preset fuzz -j"$jobs" --target dispatch_fuzz name_fuzz regfile_fuzz scenario_fuzz
repo=$(pwd)
for target in dispatch name regfile scenario; do
    leaks=0
    [ "$target" = scenario ] && leaks=1
    fuzz_scratch=$(mktemp -d)
    (cd "$fuzz_scratch" && "$repo/build/fuzz/${target}_fuzz" -detect_leaks=$leaks -max_total_time=5 "$fuzz_scratch" "$repo/fuzz/corpus/$target")
    rm -rf "$fuzz_scratch"
done

# Tools and benchmarks must build optimised too (some warnings appear only at -O2).
cmake --preset release
cmake --build --preset release -j"$jobs"

# Every shipped scenario with each of its allocations failed in turn: the machine runs on, the
# unload check stays clean and every failure reaches its caller as a status.
for scenario in tools/vexsim-run/scenarios/*.toml; do
    build/release/tools/vexsim-run --sweep-allocations --no-trace "$scenario"
done

cmake --preset test
cmake --build --preset test -j"$jobs"
ctest --preset test -j"$jobs"
