// Reading and interpreting the agent's 6-byte response frames.
#include "protocol/protocol.h"

#include "link/link.h"

#include <chrono>
#include <cstdio>

namespace {

typedef std::chrono::steady_clock Clock;

// The longest a read of `count` bytes may take under the link's time-outs.
Clock::duration read_total_timeout(DWORD count) {
    return std::chrono::milliseconds(READ_TOTAL_TIMEOUT_CONSTANT_MS +
                                     READ_TOTAL_TIMEOUT_MULTIPLIER_MS * count);
}

// Sleeps until `deadline` on the monotonic clock, if it is still ahead.
void wait_until(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left > 0) {
        Sleep(static_cast<DWORD>(left));
    }
}

uint16_t big_endian_16(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint16_t little_endian_16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t little_endian_32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

} // namespace

uint32_t swap32(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0xFF00) | ((value << 8) & 0xFF0000) | (value << 24);
}

uint16_t interpret_response(const uint8_t response[RESPONSE_FRAME_SIZE]) {
    uint16_t code = big_endian_16(response);
    uint32_t value = little_endian_32(response + 2);
    switch (code) {
    case RSP_PROGRAM_STATUS:
        if (value != 0) {
            return 0;
        }
        std::printf("Program command failed\n");
        return 1;
    case RSP_EXECUTE_RESULT:
        // The result is reported, not judged.
        std::printf("Execute result 0x%x\n", value);
        return 0;
    case RSP_CRC_ERROR:
        std::printf("\nCRC Error\n");
        return 1;
    case RSP_VERSION:
        if (swap32(value) == PROTOCOL_VERSION) {
            std::printf("\nVersion matches\n");
            return 0;
        }
        std::printf("Version of Kestrovia Flash Agent does not match Host application  %d\n",
                    static_cast<int32_t>(swap32(value)));
        return 1;
    case RSP_UNKNOWN_CMD:
        std::printf("Unknown cmd\n");
        return 1;
    default:
        // Unknown codes are shown with their two bytes read low byte first.
        std::printf("\nInvalid response received %d\n", little_endian_16(response));
        return 1;
    }
}

uint16_t read_response() {
    // The operator sees all that was printed so far for as long as the host waits.
    std::fflush(stdout);
    uint8_t response[RESPONSE_FRAME_SIZE];
    DWORD held = 0;
    // Bytes are kept across reads, in arrival order, until one whole response
    // is held; what comes after it is left for the next call.
    while (held < RESPONSE_FRAME_SIZE) {
        DWORD wanted = RESPONSE_FRAME_SIZE - held;
        Clock::time_point deadline = Clock::now() + read_total_timeout(wanted);
        DWORD got = 0;
        // A failed read counts as one that brought nothing: the agent may
        // still answer, and the wait has no limit.
        ReadFile(serial_handle, response + held, wanted, &got, nullptr);
        held += got;
        // A read that brought nothing before its total time-out was up (the
        // line hung up: Linux fails such reads at once, Wine returns nothing
        // at once) is followed by the rest of that time-out, so the wait stays
        // a wait and never becomes a spin.
        if (got == 0) {
            wait_until(deadline);
        }
    }
    return interpret_response(response);
}
