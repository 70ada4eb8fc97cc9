#include "pty_peer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

void open_pty_peer(PtyPeer& peer) {
    peer.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(peer.master, 0);
    ASSERT_EQ(grantpt(peer.master), 0);
    ASSERT_EQ(unlockpt(peer.master), 0);
    peer.path = ptsname(peer.master);
    peer.slave = open(peer.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(peer.slave, 0);
    struct termios settings;
    ASSERT_EQ(tcgetattr(peer.slave, &settings), 0);
    cfmakeraw(&settings);
    ASSERT_EQ(tcsetattr(peer.slave, TCSANOW, &settings), 0);
}

void close_pty_peer(PtyPeer& peer) {
    if (peer.slave >= 0) {
        close(peer.slave);
    }
    if (peer.master >= 0) {
        close(peer.master);
    }
    peer.slave = peer.master = -1;
}

void peer_write(const PtyPeer& peer, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(peer.master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

std::vector<uint8_t> peer_read(const PtyPeer& peer, size_t count) {
    std::vector<uint8_t> bytes(count);
    size_t held = 0;
    int64_t deadline = monotonic_ms() + 5000;
    while (held < count) {
        struct pollfd entry = {peer.master, POLLIN, 0};
        int left = int(deadline - monotonic_ms());
        if (left <= 0 || poll(&entry, 1, left) <= 0) {
            ADD_FAILURE() << "only " << held << " of " << count << " bytes arrived";
            bytes.resize(held);
            return bytes;
        }
        ssize_t n = read(peer.master, bytes.data() + held, count - held);
        if (n > 0) {
            held += size_t(n);
        }
    }
    return bytes;
}

bool peer_quiet(const PtyPeer& peer, int ms) {
    struct pollfd entry = {peer.master, POLLIN, 0};
    return poll(&entry, 1, ms) == 0;
}

void open_link_on(const PtyPeer& peer) {
    close_link();
    port_name = widen(peer.path);
    port_from_command_line = true;
    ASSERT_EQ(open_serial_link(), 0);
}

void close_link() {
    if (serial_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(serial_handle);
        serial_handle = INVALID_HANDLE_VALUE;
    }
}

int64_t monotonic_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
