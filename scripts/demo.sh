#!/usr/bin/env bash
# A full programming run against the simulated flash agent, on this machine:
# builds host and the agent (without the tests), makes sample images and a tivConfig.txt in a scratch
# folder, starts the agent on a new pseudo-terminal at the pace of a real
# 115200-baud line, runs host with a sample MAC address and then checks that
# the three images arrived intact.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/release"
baud=${BAUD:-115200}

# The demo needs a compiler, CMake and the station's libraries (the release
# build has the station beside host): host and the agent are built without
# the tests (an up-to-date build takes a moment).
echo "== Building host and the simulated agent"
if [ ! -f "$build/CMakeCache.txt" ]; then
    "$root/scripts/install-deps.sh" cmake make g++ pkg-config libsqlite3-dev libtomlplusplus-dev \
        libcli11-dev nlohmann-json3-dev libssl-dev libpq-dev libmicrohttpd-dev libcups2-dev libzint-dev
fi
log=$(mktemp)
if ! { cd "$root" && cmake --preset release &&
    cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"; } >"$log" 2>&1; then
    cat "$log"
    echo "== The build failed (above)"
    exit 1
fi
rm -f "$log"

work=$(mktemp -d "${TMPDIR:-/tmp}/host_demo.XXXXXX")
agent_pid=""
cleanup() {
    if [ -n "$agent_pid" ]; then
        kill "$agent_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT
cd "$work"

echo "== Sample images and tivConfig.txt in $work"
mkdir images
head -c 3000 /dev/urandom >images/board.bin
head -c 1500 /dev/urandom >images/otp.bin
head -c 65536 /dev/urandom >"images/main firmware.bin"
printf 'Boarddata: images/board.bin\r\nOTP: images/otp.bin\r\nOTPAddress: 1A000\r\nFirmware: images/main firmware.bin\r\n' \
    >tivConfig.txt
sed 's/\r$//; s/^/   /' tivConfig.txt

echo "== Starting the simulated flash agent (paced at $baud baud)"
coproc AGENT { exec "$build/agent" --out "$work/received" --log "$work/frames.log" --baud "$baud"; }
agent_pid=$AGENT_PID
read -r _ port <&"${AGENT[0]}"
echo "   listening on $port"

echo "== host $port 001122334455"
echo
status=0
"$build/host" "$port" 001122334455 </dev/null || status=$?
echo
echo "== host ended with exit status $status"
wait "$agent_pid" 2>/dev/null || true
agent_pid=""

echo "== Sent against received ($(wc -l <frames.log) frames, log in $work/frames.log)"
printf '   %-26s %10s %10s  %-8s %-8s %s\n' image "sent" received "crc sent" "received" result
check() {
    local sent=$1 received=$2 verdict=MATCH
    cmp -s "$sent" "$received" || verdict=DIFFERENT
    [ "$verdict" = MATCH ] || status=1
    printf '   %-26s %10s %10s  %08x %08x %s\n' "$(basename "$sent")" \
        "$(stat -c %s "$sent")" "$(stat -c %s "$received")" \
        "$(cksum <"$sent" | cut -d' ' -f1)" "$(cksum <"$received" | cut -d' ' -f1)" "$verdict"
}
check images/board.bin received/board_data.bin
check images/otp.bin received/otp.bin
check "images/main firmware.bin" received/firmware.bin
echo "   OTP address received: $(cat received/otp_address.txt 2>/dev/null || echo none)"
exit "$status"
