#!/usr/bin/env bash
# Installs what building and testing host needs on a Debian machine, if missing:
# QEMU and busybox are for the test guest on the kernel's own serial drivers,
# the ARM cross compilers and qemu-user for the ARM Linux builds, the libraries
# of the station, tmux for its screen's test and a PostgreSQL server for its
# store's tier (the tests start their own; none is left running), the time
# zone database its local days are counted by, the HTTP library of its web
# view and the headless Chromium, its driver and Selenium that test the view
# in a real browser. Given package names, installs those alone.
set -euo pipefail

packages=(cmake make g++ libgtest-dev googletest g++-mingw-w64-x86-64-posix wine wine64 python3
    clang libclang-rt-14-dev valgrind qemu-system-x86 busybox-static
    g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static
    libsqlite3-dev libtomlplusplus-dev libcli11-dev nlohmann-json3-dev libssl-dev pkg-config
    tmux libpq-dev postgresql tzdata libcpp-httplib-dev chromium chromium-driver python3-selenium)
if [ $# -gt 0 ]; then
    packages=("$@")
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
    "${missing[@]}" >/dev/null
