#!/usr/bin/env bash
# Builds host for Windows (build/windows/host.exe, MinGW-w64, static), for ARM
# Linux (build/aarch64 and build/armhf: host and the agent, cross-built), for
# this machine (build/native: host, the simulated agent and the tests) and, with
# --sanitize, everything again under AddressSanitizer + UBSan with the fuzz
# targets (build/asan, clang).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
presets=(windows aarch64 armhf native)
if [ "${1:-}" = "--sanitize" ]; then
    presets+=(asan)
fi
for preset in "${presets[@]}"; do
    cmake --preset "$preset" -DSOAK="${SOAK:-OFF}" >/dev/null
    cmake --build "build/$preset" -j "$jobs"
done
