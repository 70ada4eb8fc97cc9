// Our POSIX stand-in for kernel32's serial calls, on a real pseudo-terminal.
#include "pty_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

HANDLE open_port(const std::string& name) {
    return CreateFileW(widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(CreateFile, RefusesWhatIsNoPortWithTheWindowsErrors) {
    char folder[] = "/tmp/host_unit_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string file = std::string(folder) + "/plain";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0644));
    const struct {
        std::string name;
        DWORD error;
    } cases[] = {
        {"", ERROR_INVALID_NAME},
        {"\\\\.\\", ERROR_INVALID_NAME},
        {std::string(300, 'x'), ERROR_INVALID_NAME},
        {"/dev/host_no_such_port", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\COM250", ERROR_FILE_NOT_FOUND},
        {"host_no_such_port", ERROR_FILE_NOT_FOUND},
        {folder, ERROR_FILE_NOT_FOUND},
        {file, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(open_port(c.name), INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    unlink(file.c_str());
    rmdir(folder);
}

TEST(CreateFile, RefusesASecondOpener) {
    PtyPeer peer;
    open_pty_peer(peer);
    HANDLE first = open_port("\\\\.\\" + peer.path);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_port(peer.path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(first);
    HANDLE again = open_port(peer.path);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "closing the port frees it";
    CloseHandle(again);
    close_pty_peer(peer);
}

// The old-style text as Windows reads it: without a last letter DTR and RTS
// are enabled and there is no flow control.
TEST(BuildCommDCB, ParsesTheDefinitionText) {
    const struct {
        const char* text;
        bool ok;
        DWORD baud;
        BYTE parity, size, stop;
        unsigned dtr, rts, xon_xoff, cts_dsr;
    } cases[] = {
        {"115200,N,8,1", true, 115200, NOPARITY, 8, ONESTOPBIT, 1, 1, 0, 0},
        {"9600,e,7,2", true, 9600, EVENPARITY, 7, TWOSTOPBITS, 1, 1, 0, 0},
        {"300, O, 5,2", true, 300, ODDPARITY, 5, TWOSTOPBITS, 1, 1, 0, 0},
        {"9600,M,8,1.5", true, 9600, MARKPARITY, 8, ONE5STOPBITS, 1, 1, 0, 0},
        {"96,s,8,1", true, 9600, SPACEPARITY, 8, ONESTOPBIT, 1, 1, 0, 0},
        {"115200,n,8,1,x", true, 115200, NOPARITY, 8, ONESTOPBIT, 1, 1, 1, 0},
        {"115200,n,8,1,P", true, 115200, NOPARITY, 8, ONESTOPBIT, 2, 2, 0, 1},
        {"115200,n,8,1, ", true, 115200, NOPARITY, 8, ONESTOPBIT, 1, 1, 0, 0},
        {"COM3: 115200,n,8,1", true, 115200, NOPARITY, 8, ONESTOPBIT, 1, 1, 0, 0},
        {"", true, 0, 0, 0, ONESTOPBIT, 0, 0, 0, 0},
        {" 115200,n,8,1", false, 0, 0, 0, 0, 0, 0, 0, 0},
        {"115200,  n,8,1", false, 0, 0, 0, 0, 0, 0, 0, 0},
        {"115200", false, 0, 0, 0, 0, 0, 0, 0, 0},
        {"115200,N,8", false, 0, 0, 0, 0, 0, 0, 0, 0},
        {"115200,N,8,1,z", false, 0, 0, 0, 0, 0, 0, 0, 0},
        {"115200,N,8,1,xp", false, 0, 0, 0, 0, 0, 0, 0, 0},
        {"115200,X,8,1", false, 0, 0, 0, 0, 0, 0, 0, 0},
        {"115200,N,9,1", false, 0, 0, 0, 0, 0, 0, 0, 0},
        {"115200,N,8,3", false, 0, 0, 0, 0, 0, 0, 0, 0},
        {"fast,N,8,1", false, 0, 0, 0, 0, 0, 0, 0, 0},
        {"baud=9600", false, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        DCB dcb = {};
        EXPECT_EQ(BuildCommDCBW(widen(c.text).c_str(), &dcb) != FALSE, c.ok) << c.text;
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.text;
            EXPECT_EQ(dcb.BaudRate, 0u) << c.text << ": a refused text changes nothing";
            continue;
        }
        EXPECT_EQ(dcb.BaudRate, c.baud) << c.text;
        EXPECT_EQ(dcb.Parity, c.parity) << c.text;
        EXPECT_EQ(dcb.ByteSize, c.size) << c.text;
        EXPECT_EQ(dcb.StopBits, c.stop) << c.text;
        EXPECT_EQ(dcb.fDtrControl, c.dtr) << c.text;
        EXPECT_EQ(dcb.fRtsControl, c.rts) << c.text;
        EXPECT_EQ(dcb.fOutX + dcb.fInX, 2 * c.xon_xoff) << c.text;
        EXPECT_EQ(dcb.fOutxCtsFlow + dcb.fOutxDsrFlow, 2 * c.cts_dsr) << c.text;
        EXPECT_EQ(dcb.fBinary, 0u) << c.text << ": left as it was";
    }
}

class PortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        open_pty_peer(peer);
        port = open_port(peer.path);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(port);
        close_pty_peer(peer);
    }
    void set_timeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD write_constant) {
        COMMTIMEOUTS timeouts = {interval, multiplier, constant, 0, write_constant};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    }
    PtyPeer peer;
    HANDLE port = INVALID_HANDLE_VALUE;
};

// What the layer cannot keep is refused; modem lines on a pseudo-terminal,
// which has none, are accepted and have no effect (real lines are tested on
// the kernel's UART and USB drivers).
TEST_F(PortTest, SetCommStateTakesWhatItCanKeep) {
    const struct {
        const char* what;
        DWORD baud;
        unsigned dtr, rts;
        bool ok;
    } cases[] = {
        {"115200, DTR and RTS low", 115200, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, true},
        {"DTR and RTS raised", 115200, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, true},
        {"DTR raised, RTS low", 9600, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, true},
        {"RTS handshake", 115200, DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, true},
        {"a speed without a termios constant", 12345, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, true},
        {"speed 0, which would hang up", 0, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false},
        {"DTR handshake", 115200, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE, false},
    };
    for (const auto& c : cases) {
        DCB dcb = {};
        dcb.DCBlength = sizeof(DCB);
        ASSERT_TRUE(BuildCommDCBW(widen("115200,N,8,1").c_str(), &dcb));
        dcb.BaudRate = c.baud;
        dcb.fDtrControl = c.dtr;
        dcb.fRtsControl = c.rts;
        SetLastError(0);
        EXPECT_EQ(SetCommState(port, &dcb) != FALSE, c.ok) << c.what;
        EXPECT_EQ(GetLastError(), c.ok ? 0u : ERROR_INVALID_PARAMETER) << c.what;
    }
    DCB toggle = {};
    ASSERT_TRUE(BuildCommDCBW(widen("115200,N,8,1").c_str(), &toggle));
    toggle.fRtsControl = RTS_CONTROL_TOGGLE;
    EXPECT_FALSE(SetCommState(port, &toggle));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED) << "RTS toggle, as Windows refuses it";
}

TEST(CreateFile, DiscardsWhatWaitedOnTheLineBeforeTheOpen) {
    PtyPeer peer;
    open_pty_peer(peer);
    peer_write(peer, {0x00, 0x01, 0x00, 0x00, 0x00, 0x01});
    ASSERT_EQ(tcdrain(peer.master), 0);
    HANDLE port = open_port(peer.path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts = {100, 10, 100, 0, 1000};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    uint8_t buffer[6];
    DWORD count = 99;
    EXPECT_TRUE(ReadFile(port, buffer, 6, &count, nullptr));
    EXPECT_EQ(count, 0u) << "a new handle starts with empty queues";
    // A refused second opener discards nothing the holder waits for.
    peer_write(peer, {0x00, 0x01});
    ASSERT_EQ(tcdrain(peer.master), 0);
    EXPECT_EQ(open_port(peer.path), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ReadFile(port, buffer, 6, &count, nullptr));
    EXPECT_EQ(count, 2u);
    CloseHandle(port);
    close_pty_peer(peer);
}

// How long ReadFile(6) takes, and what it brings, for bytes written first.
struct ReadCase {
    const char* what;
    DWORD interval, multiplier, constant;
    std::vector<uint8_t> waiting;
    DWORD expect_count;
    int64_t at_least_ms, below_ms;
};

TEST_F(PortTest, ReadReturnsOnFullCountIntervalOrTotalTimeOut) {
    const ReadCase cases[] = {
        {"all six waiting", 100, 10, 100, {1, 2, 3, 4, 5, 6}, 6, 0, 100},
        {"silence: total time-out 10*6+100", 100, 10, 100, {}, 0, 158, 1500},
        {"silence: longer total time-out", 100, 0, 600, {}, 0, 598, 2000},
        {"two bytes: interval time-out", 100, 0, 2000, {7, 8}, 2, 98, 1500},
        {"more waiting than asked", 100, 10, 100, {1, 2, 3, 4, 5, 6, 7}, 6, 0, 100},
    };
    for (const auto& c : cases) {
        set_timeouts(c.interval, c.multiplier, c.constant, 1000);
        if (!c.waiting.empty()) {
            peer_write(peer, c.waiting);
        }
        uint8_t buffer[6] = {};
        DWORD count = 99;
        int64_t start = monotonic_ms();
        EXPECT_TRUE(ReadFile(port, buffer, 6, &count, nullptr)) << c.what;
        int64_t took = monotonic_ms() - start;
        EXPECT_EQ(count, c.expect_count) << c.what;
        EXPECT_GE(took, c.at_least_ms) << c.what;
        EXPECT_LT(took, c.below_ms) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + count),
                  std::vector<uint8_t>(c.waiting.begin(), c.waiting.begin() + count))
            << c.what;
        // Drop what a case left, so the next starts on a quiet line.
        tcflush(peer.slave, TCIFLUSH);
    }
}

TEST_F(PortTest, HangUpFailsTheReadAtOnce) {
    set_timeouts(100, 10, 100, 1000);
    close(peer.slave);
    close(peer.master);
    peer.slave = peer.master = -1;
    uint8_t buffer[6];
    DWORD count = 99;
    int64_t start = monotonic_ms();
    EXPECT_FALSE(ReadFile(port, buffer, 6, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(count, 0u);
    EXPECT_LT(monotonic_ms() - start, 150) << "a hang-up is not a time-out";
    EXPECT_FALSE(WriteFile(port, buffer, 6, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(PortTest, WriteFailsAfterItsTotalTimeOutWhenTheLineIsStuck) {
    set_timeouts(100, 10, 100, 300);
    // Nobody reads the master, so the pty's queue fills and the write stalls.
    std::vector<uint8_t> lots(1 << 20, 0x55);
    DWORD written = 0;
    int64_t start = monotonic_ms();
    EXPECT_FALSE(WriteFile(port, lots.data(), DWORD(lots.size()), &written, nullptr));
    int64_t took = monotonic_ms() - start;
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, lots.size());
    EXPECT_GE(took, 298);
    EXPECT_LT(took, 3000);
}

} // namespace
