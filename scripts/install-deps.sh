#!/usr/bin/env bash
# Installs what building and testing host needs on a Debian machine, if missing:
# QEMU and busybox are for the test guest on the kernel's own serial drivers,
# the ARM cross compilers and qemu-user for the ARM Linux builds, the libraries
# of the station, tmux for its screen's test and a PostgreSQL server for its
# store's tier (the tests start their own; none is left running), the time
# zone database its local days are counted by, the HTTP library of its web
# view and the headless Chromium, its driver and Selenium that test the view
# in a real browser; the station's libraries for arm64 and armhf (multiarch)
# and qemu-user registered for ARM programs (binfmt_misc), for the ARM station
# under emulation; dpkg-dev, lintian and systemd (systemd-analyze) for the
# Debian packages and their service; CUPS with its PDF printer, poppler's
# pdftoppm and zbar's zbarimg for the labels' test (a label printed to PDF,
# made an image and its barcode read), libzint for the built-in label's
# barcode and libcups for its printing; systemd-container and sudo for the
# README's service and line steps, run as written on this machine's own
# system booted in a container; faketime for a station whose clock is not
# the database server's. Given package names, installs those alone.
set -euo pipefail

packages=(cmake make g++ libgtest-dev googletest g++-mingw-w64-x86-64-posix wine wine64 python3
    clang libclang-rt-14-dev valgrind qemu-system-x86 busybox-static
    g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static
    libsqlite3-dev libtomlplusplus-dev libcli11-dev nlohmann-json3-dev libssl-dev pkg-config
    tmux libpq-dev postgresql tzdata libmicrohttpd-dev chromium chromium-driver python3-selenium
    libcups2-dev libzint-dev cups printer-driver-cups-pdf poppler-utils zbar-tools
    dpkg-dev lintian systemd systemd-container sudo adduser faketime)
# The station's libraries for the ARM builds, Debian's own for each
# architecture, beside the native ones (multiarch); libpq-dev is one
# architecture at a time, so the ARM builds take libpq5 with the native headers.
for arch in arm64 armhf; do
    packages+=("libsqlite3-dev:$arch" "libssl-dev:$arch" "libmicrohttpd-dev:$arch" "libcups2-dev:$arch"
        "libtomlplusplus-dev:$arch" "libpq5:$arch")
done
if [ $# -gt 0 ]; then
    packages=("$@")
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

# The ARM station runs its ARM host as a child: the kernel hands ARM programs
# to qemu-user (binfmt_misc), as Debian's qemu-user-static describes them.
register_arm_programs() {
    local folder=/proc/sys/fs/binfmt_misc
    if [ ! -e "$folder/register" ]; then
        $sudo mount -t binfmt_misc binfmt_misc "$folder" 2>/dev/null || return 0
    fi
    for name in qemu-aarch64 qemu-arm; do
        if [ ! -e "$folder/$name" ] && [ -r "/usr/lib/binfmt.d/$name.conf" ]; then
            $sudo sh -c "cat /usr/lib/binfmt.d/$name.conf > $folder/register" 2>/dev/null || true
        fi
    done
}
if [ $# -eq 0 ]; then
    trap register_arm_programs EXIT
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
for arch in arm64 armhf; do
    if printf '%s\n' "${missing[@]}" | grep -q ":$arch\$" &&
        ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        $sudo dpkg --add-architecture "$arch"
    fi
done
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
    "${missing[@]}" >/dev/null
