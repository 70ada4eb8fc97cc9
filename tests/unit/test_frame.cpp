// The request frame on the wire: layout, byte order and checksum.
#include "protocol/protocol.h"
#include "pty_peer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

uint16_t wire16(const std::vector<uint8_t>& bytes, size_t at) {
    return uint16_t(bytes[at] | bytes[at + 1] << 8);
}

TEST(Crc16, MatchesPublishedCheckValues) {
    const char* check = "123456789";
    EXPECT_EQ(crc16_bytes(reinterpret_cast<const uint8_t*>(check), 9), 0x31C3);
    RequestFrame zero;
    std::memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(crc16(zero), 0x0000);
    // One bit of data far beyond `length` still changes the checksum.
    zero.data[1000] = 0x01;
    EXPECT_NE(crc16(zero), 0x0000);
}

TEST(Crc16, TableFormMatchesBitByBitForm) {
    std::vector<uint8_t> bytes(1036);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = uint8_t(i * 37 + 11);
    }
    uint16_t reg = 0;
    for (uint8_t byte : bytes) {
        reg ^= uint16_t(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000) ? uint16_t((reg << 1) ^ 0x1021) : uint16_t(reg << 1);
        }
    }
    EXPECT_EQ(crc16_bytes(bytes.data(), bytes.size()), reg);
}

TEST(Swap32, ReversesTheFourBytes) {
    EXPECT_EQ(swap32(0x12345678u), 0x78563412u);
    EXPECT_EQ(swap32(swap32(0xA1B2C3D4u)), 0xA1B2C3D4u);
}

using WireTest = LinkOnPty;

TEST_F(WireTest, OtpDataFrameGoesOutLittleEndianWithItsChecksum) {
    RequestFrame frame;
    std::memset(&frame, 0xAB, sizeof(frame));
    frame.command = CMD_OTP_DATA;
    frame.marker = FRAME_MARKER;
    frame.address = OTP_CHUNK_ADDRESS;
    frame.length = CHUNK_SIZE;
    send_request(frame);
    std::vector<uint8_t> wire = peer_read(peer, REQUEST_FRAME_SIZE);
    ASSERT_EQ(wire.size(), REQUEST_FRAME_SIZE);
    EXPECT_EQ((std::vector<uint8_t>{wire[0], wire[1]}), (std::vector<uint8_t>{0x02, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 1026, wire.begin() + 1036),
              (std::vector<uint8_t>{0x34, 0x12, 0x00, 0x00, 0x00, 0x5D, 0x94, 0x00, 0x00, 0x04}));
    EXPECT_EQ(wire16(wire, 1036), crc16_bytes(wire.data(), 1036));
    EXPECT_EQ(frame.crc, wire16(wire, 1036));
    EXPECT_TRUE(peer_quiet(peer, 50)) << "exactly one frame is written";
}

TEST_F(WireTest, ShortLengthStillSendsAllBytesUnderTheChecksum) {
    RequestFrame frame;
    std::memset(&frame, 0, sizeof(frame));
    frame.command = CMD_FIRMWARE_DATA;
    std::memset(frame.data, 0x5A, CHUNK_SIZE);
    frame.length = 100;
    send_request(frame);
    std::vector<uint8_t> wire = peer_read(peer, REQUEST_FRAME_SIZE);
    ASSERT_EQ(wire.size(), REQUEST_FRAME_SIZE);
    EXPECT_EQ(wire[1034], 0x64);
    EXPECT_EQ(wire[1035], 0x00);
    EXPECT_EQ(wire[2 + 1023], 0x5A) << "data beyond length is sent as it stands";
    EXPECT_EQ(wire16(wire, 1036), crc16_bytes(wire.data(), 1036));
}

TEST_F(WireTest, SyncIsOneByte) {
    send_sync();
    EXPECT_EQ(peer_read(peer, 1), std::vector<uint8_t>{SYNC_BYTE});
    EXPECT_TRUE(peer_quiet(peer, 50));
}

} // namespace
