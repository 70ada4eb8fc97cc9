#!/usr/bin/env bash
# The one test command: installs what is missing, builds all targets and runs
# every test: unit and end-to-end suites on the native build, the end-to-end
# suite again with host.exe under Wine, one run under valgrind memcheck, the
# driver tier (host in a QEMU guest on the 8250 UART and FTDI USB-serial
# drivers), the release archives unpacked and run, then the unit and
# end-to-end suites under AddressSanitizer + UBSan and a bounded run of each
# fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/fetch-guest-kernel.sh
scripts/build.sh --sanitize
scripts/release.sh >/dev/null
# Serially: several cases measure time-outs and CPU use.
ctest --preset native
ctest --preset asan
