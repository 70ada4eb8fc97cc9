#!/usr/bin/env bash
# Builds the release archives into dist/: host-<version>-windows-x64.zip
# (host.exe) and host-<version>-linux-<cpu>.tar.gz for x86_64, aarch64 and
# armhf (host and the simulated agent), each with the operator's README.txt
# and a sample tivConfig.txt, and a .sha256 file beside each. Installs the
# compilers it needs if missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh cmake make g++ g++-mingw-w64-x86-64-posix g++-aarch64-linux-gnu \
    g++-arm-linux-gnueabihf

# The Windows and ARM builds of their presets, and a Linux build for this
# machine without the tests.
for preset in windows aarch64 armhf; do
    cmake --preset "$preset" >/dev/null
    cmake --build "build/$preset" -j "$jobs" >/dev/null
done
cmake -S . -B build/dist-linux -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/dist-linux -j "$jobs" >/dev/null

rm -rf dist
mkdir dist
for build in build/windows build/dist-linux build/aarch64 build/armhf; do
    rm -rf "$build/package"
    (cd "$build" && cpack -B "$PWD/package" >/dev/null)
    cp "$build"/package/host-*.* dist/
done
(cd dist && sha256sum -c --quiet ./*.sha256)
ls -l dist
