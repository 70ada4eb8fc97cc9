#!/usr/bin/env bash
# Builds host for Windows (build/windows/host.exe, MinGW-w64, static) and for
# this machine (build/native: host, the simulated agent and the tests).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/windows -j "$jobs"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHOST_EXE="$PWD/build/windows/host.exe" >/dev/null
cmake --build build/native -j "$jobs"
