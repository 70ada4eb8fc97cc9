#!/usr/bin/env bash
# Builds the release archives into dist/: host-<version>-windows-x64.zip
# (host.exe) and host-<version>-linux-<cpu>.tar.gz for x86_64, aarch64 and
# armhf (host, the simulated agent and the station), each with the operator's
# README.txt and a sample tivConfig.txt; beside them the Debian packages
# host-programmer_<version>_<arch>.deb (host, the station and its web view's
# service) and host-programmer-agent_<version>_<arch>.deb for amd64, arm64 and
# armhf, each checked by lintian; a .sha256 file beside each.
# Installs the compilers, libraries and tools it needs if missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

libraries=(libsqlite3-dev libtomlplusplus-dev libssl-dev libmicrohttpd-dev libcups2-dev)
scripts/install-deps.sh cmake make g++ dpkg-dev lintian g++-mingw-w64-x86-64-posix g++-aarch64-linux-gnu \
    g++-arm-linux-gnueabihf pkg-config libcli11-dev nlohmann-json3-dev libpq-dev libzint-dev \
    "${libraries[@]}" "${libraries[@]/%/:arm64}" libpq5:arm64 "${libraries[@]/%/:armhf}" libpq5:armhf

# Each archive from the build of its preset: Windows, this machine's Linux
# (release) and the two ARM Linux builds.
presets=(windows release aarch64 armhf)
for preset in "${presets[@]}"; do
    cmake --preset "$preset" >/dev/null
    cmake --build "build/$preset" -j "$jobs" >/dev/null
done

rm -rf dist
mkdir dist
for preset in "${presets[@]}"; do
    build="build/$preset"
    rm -rf "$build/package"
    (cd "$build" && cpack -B "$PWD/package" >/dev/null)
    cp "$build"/package/host-*.* dist/
done
(cd dist && sha256sum -c --quiet ./*.sha256)
# No package with an error by Debian's rules (warnings are shown).
lintian --fail-on error dist/*.deb
ls -l dist
