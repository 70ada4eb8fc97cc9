#!/usr/bin/env bash
# The one test command: installs what is missing, builds both targets and runs
# every test (unit, end to end against the simulated agent, host.exe under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh
# Serially: several cases measure time-outs and CPU use.
ctest --test-dir build/native --output-on-failure
