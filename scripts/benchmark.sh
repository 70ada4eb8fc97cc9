#!/usr/bin/env bash
# Builds the release binaries (and the aarch64 ones, run under qemu-user) and
# prints the benchmark table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/fetch-guest-kernel.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset release >/dev/null
cmake --build build/release -j "$jobs" >/dev/null
# Figure 14: the aarch64 station and host under qemu-user.
cmake --preset aarch64 >/dev/null
cmake --build build/aarch64 -j "$jobs" >/dev/null
# The guest's line probe is a test tool, from the native build.
cmake --preset native >/dev/null
cmake --build build/native -j "$jobs" --target probe >/dev/null
HOST="$PWD/build/release/host" AGENT="$PWD/build/release/agent" \
    STATION="$PWD/build/release/station/station" STORE_BENCH="$PWD/build/release/station/store_bench" \
    STATION_AARCH64="$PWD/build/aarch64/station/station" HOST_AARCH64="$PWD/build/aarch64/host" \
    PROBE="$PWD/build/native/tests/probe" GUEST_KERNEL_DIR="$PWD/build/guest-kernel" \
    python3 bench/benchmark.py
