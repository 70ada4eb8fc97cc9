#!/usr/bin/env bash
# Builds the release binaries and prints the benchmark table (about two minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/fetch-guest-kernel.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset release >/dev/null
cmake --build build/release -j "$jobs" >/dev/null
# The guest's line probe is a test tool, from the native build.
cmake --preset native >/dev/null
cmake --build build/native -j "$jobs" --target probe >/dev/null
HOST="$PWD/build/release/host" AGENT="$PWD/build/release/agent" \
    STATION="$PWD/build/release/station/station" STORE_BENCH="$PWD/build/release/station/store_bench" \
    PROBE="$PWD/build/native/tests/probe" GUEST_KERNEL_DIR="$PWD/build/guest-kernel" \
    python3 bench/benchmark.py
