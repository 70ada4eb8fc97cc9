#!/usr/bin/env bash
# Builds the release binaries and prints the benchmark table (about two minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/fetch-guest-kernel.sh
cmake --preset release >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target host agent probe >/dev/null
HOST="$PWD/build/release/host" AGENT="$PWD/build/release/agent" \
    PROBE="$PWD/build/release/tests/probe" python3 bench/benchmark.py
