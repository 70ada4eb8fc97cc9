#!/usr/bin/env bash
# The one test command: installs what is missing, builds all targets and runs
# every test: unit and end-to-end suites on the native build, the end-to-end
# suite again with host.exe under Wine, one run under valgrind memcheck, the
# driver tier (host in a QEMU guest on the 8250 UART and FTDI USB-serial
# drivers), the release archives unpacked and run, then the unit and
# end-to-end suites under AddressSanitizer + UBSan and a bounded run of each
# fuzz target. Both builds' tests run in one CTest run, five at a time: most
# of them wait on a board, a server or a time-out; each says what it weighs.
# SOAK=1 races and fuzzes longer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/fetch-guest-kernel.sh
scripts/build.sh --sanitize
scripts/release.sh >/dev/null
# One CTest over both builds (their tests are named apart), so that the
# suites that wait run beside those that compute.
printf 'subdirs("native")\nsubdirs("asan")\n' >build/CTestTestfile.cmake
started=$(date +%s)
ctest --test-dir build -j "${TEST_JOBS:-5}" --output-on-failure
echo "tests: $(($(date +%s) - started)) s"
