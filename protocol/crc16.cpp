// The frame checksum, shared by the host and the simulated agent.
#include "protocol/protocol.h"

#include <array>

namespace {

constexpr uint16_t CRC16_POLYNOMIAL = 0x1021;

// The register after shifting one byte through it bit by bit, for each byte
// value: a byte's effect on the register depends on nothing else.
constexpr std::array<uint16_t, 256> make_crc16_table() {
    std::array<uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        uint16_t reg = static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ CRC16_POLYNOMIAL)
                                 : static_cast<uint16_t>(reg << 1);
        }
        table[byte] = reg;
    }
    return table;
}

constexpr std::array<uint16_t, 256> CRC16_TABLE = make_crc16_table();

} // namespace

uint16_t crc16_bytes(const uint8_t* bytes, size_t count) {
    uint16_t reg = 0;
    for (size_t i = 0; i < count; ++i) {
        reg = static_cast<uint16_t>((reg << 8) ^ CRC16_TABLE[((reg >> 8) ^ bytes[i]) & 0xFF]);
    }
    return reg;
}

uint16_t crc16(const RequestFrame& frame) {
    return crc16_bytes(reinterpret_cast<const uint8_t*>(&frame), offsetof(RequestFrame, crc));
}
