// Reading and interpreting response frames through the real link on a pty.
#include "protocol/protocol.h"
#include "pty_peer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

namespace {

class ResponseTest : public LinkOnPty {
  protected:
    // Reads one response and returns what it printed.
    std::string read_printed(uint16_t& status) {
        ::testing::internal::CaptureStdout();
        status = read_response();
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};

struct ResponseCase {
    std::vector<uint8_t> wire;
    std::string printed;
    uint16_t status;
};

TEST_F(ResponseTest, EveryCodeAndByteOrderTrap) {
    const std::string mismatch =
        "Version of Kestrovia Flash Agent does not match Host application  ";
    const ResponseCase cases[] = {
        {{0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, "Program command failed\n", 1},
        {{0x00, 0x01, 0x00, 0x00, 0x00, 0x01}, "", 0},
        {{0x00, 0x01, 0x01, 0x00, 0x00, 0x00}, "", 0},
        {{0x00, 0x04, 0x12, 0x34, 0x56, 0x78}, "Execute result 0x78563412\n", 0},
        {{0x00, 0x04, 0x00, 0x00, 0x00, 0x00}, "Execute result 0x0\n", 0},
        {{0x00, 0x04, 0x00, 0x00, 0x00, 0x01}, "Execute result 0x1000000\n", 0},
        {{0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}, "Execute result 0xffffffff\n", 0},
        {{0x00, 0x06, 0x00, 0x00, 0x00, 0x00}, "\nCRC Error\n", 1},
        {{0x00, 0x06, 0xDE, 0xAD, 0xBE, 0xEF}, "\nCRC Error\n", 1},
        {{0x00, 0x07, 0x00, 0x00, 0x00, 0x02}, "\nVersion matches\n", 0},
        {{0x00, 0x07, 0x02, 0x00, 0x00, 0x00}, mismatch + "33554432\n", 1},
        {{0x00, 0x07, 0xFF, 0xFF, 0xFF, 0xFF}, mismatch + "-1\n", 1},
        {{0x00, 0x07, 0x00, 0x00, 0x00, 0x00}, mismatch + "0\n", 1},
        {{0x00, 0x08, 0x12, 0x34, 0x56, 0x78}, "Unknown cmd\n", 1},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, "\nInvalid response received 0\n", 1},
        {{0x00, 0x02, 0x00, 0x00, 0x00, 0x01}, "\nInvalid response received 512\n", 1},
        {{0x00, 0x05, 0x00, 0x00, 0x00, 0x01}, "\nInvalid response received 1280\n", 1},
        {{0x00, 0x09, 0x00, 0x00, 0x00, 0x01}, "\nInvalid response received 2304\n", 1},
        {{0x01, 0x00, 0x00, 0x00, 0x00, 0x01}, "\nInvalid response received 1\n", 1},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "\nInvalid response received 65535\n", 1},
    };
    for (const auto& c : cases) {
        peer_write(peer, c.wire);
        uint16_t status = 99;
        EXPECT_EQ(read_printed(status), c.printed) << int(c.wire[0]) << "," << int(c.wire[1]);
        EXPECT_EQ(status, c.status) << int(c.wire[0]) << "," << int(c.wire[1]);
    }
}

TEST_F(ResponseTest, PiecesAcrossTheIntervalTimeOutMakeOneResponse) {
    // The pause is the case itself: longer than the 100 ms interval time-out,
    // so the first read returns with 2 bytes and the reader must keep them.
    std::thread agent([this] {
        peer_write(peer, {0x00, 0x04});
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        peer_write(peer, {0x00, 0x00, 0x00, 0x2A});
    });
    uint16_t status = 99;
    EXPECT_EQ(read_printed(status), "Execute result 0x2a000000\n");
    EXPECT_EQ(status, 0);
    agent.join();
}

TEST_F(ResponseTest, TwoResponsesAtOnceAreReadOneByOne) {
    peer_write(peer, {0x00, 0x06, 0, 0, 0, 0, 0x00, 0x01, 0, 0, 0, 0});
    uint16_t status = 99;
    EXPECT_EQ(read_printed(status), "\nCRC Error\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(read_printed(status), "Program command failed\n");
    EXPECT_EQ(status, 1);
}

TEST_F(ResponseTest, WaitsThroughSilenceWithoutPrinting) {
    std::thread agent([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        peer_write(peer, {0x00, 0x01, 0, 0, 0, 1});
    });
    int64_t start = monotonic_ms();
    uint16_t status = 99;
    EXPECT_EQ(read_printed(status), "");
    EXPECT_EQ(status, 0);
    EXPECT_GE(monotonic_ms() - start, 650) << "several read time-outs passed in silence";
    agent.join();
}

} // namespace
