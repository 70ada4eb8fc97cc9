// The flash agent's wire protocol: the sync byte, the 1038-byte request frame
// with its CRC-16, and the 6-byte response frame with its codes.
//
// The agent takes one request frame at a time and answers every frame with
// one response frame; the host writes the next frame only after reading the
// answer to the previous one.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t SYNC_BYTE = 0xDD;
constexpr uint16_t CHUNK_SIZE = 1024; // data bytes per request frame
constexpr uint32_t FRAME_MARKER = 0x1234;
constexpr uint32_t OTP_CHUNK_ADDRESS = 0x945D00;
constexpr uint32_t PROTOCOL_VERSION = 2;

// Command codes, the `command` of a request frame; no other code is sent.
enum : uint16_t {
    CMD_BOARD_DATA = 0,
    CMD_OTP_DATA = 2,
    CMD_OTP_EXECUTE = 3,
    CMD_FIRMWARE_DATA = 5
};

// Response codes, the `code` of a response frame (big-endian on the wire).
enum : uint16_t {
    RSP_PROGRAM_STATUS = 1, // value 0: the programming failed
    RSP_EXECUTE_RESULT = 4, // value: the result of the OTP execute command
    RSP_CRC_ERROR = 6,
    RSP_VERSION = 7, // value: the agent's protocol version
    RSP_UNKNOWN_CMD = 8
};

// Multi-byte fields of the request frame go on the wire least significant
// byte first, which is how this host keeps them in memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the frame is sent as it is in memory");

#pragma pack(push, 1)
struct RequestFrame {
    uint16_t command;
    uint8_t data[CHUNK_SIZE]; // only the first `length` bytes carry content
    uint32_t marker;          // 0 or FRAME_MARKER
    uint32_t address;         // target address of the OTP commands
    uint16_t length;          // valid bytes at the start of `data`
    uint16_t crc;             // crc16 of every byte before it
};
#pragma pack(pop)

constexpr size_t REQUEST_FRAME_SIZE = 1038;
constexpr size_t RESPONSE_FRAME_SIZE = 6;
static_assert(sizeof(RequestFrame) == REQUEST_FRAME_SIZE, "request frame is 1038 bytes");
static_assert(offsetof(RequestFrame, marker) == 1026 && offsetof(RequestFrame, address) == 1030 &&
                  offsetof(RequestFrame, length) == 1034 && offsetof(RequestFrame, crc) == 1036,
              "request frame fields have no gaps");

// CRC-16/XMODEM (polynomial 0x1021, initial 0, not reflected, no final XOR).
uint16_t crc16_bytes(const uint8_t* bytes, size_t count);
// The checksum of bytes 0 to 1035 of the frame, `data` beyond `length` included.
uint16_t crc16(const RequestFrame& frame);

// The four bytes of `value` in reverse order: turns the little-endian reading
// of a response's `value` into the big-endian one, and back.
uint32_t swap32(uint32_t value);

// Writes SYNC_BYTE once; the outcome is not examined.
void send_sync();
// Stores the frame's crc16 in `crc` and writes all 1038 bytes in one write.
// A failed or short write is not examined: the missing answer shows it.
void send_request(RequestFrame& frame);
// Prints what a 6-byte response calls for and returns its status: 0 for
// success, 1 for failure.
uint16_t interpret_response(const uint8_t response[RESPONSE_FRAME_SIZE]);
// Waits, without limit, for one whole response frame and interprets it.
uint16_t read_response();
