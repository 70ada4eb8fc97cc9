// The far end of a pseudo-terminal, standing where the flash agent would.
#pragma once

#include "link/link.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

struct PtyPeer {
    int master = -1;
    int slave = -1; // held for the whole case so the master never reads EIO
    std::string path;
};

// A new pseudo-terminal with a raw slave.
void open_pty_peer(PtyPeer& peer);
void close_pty_peer(PtyPeer& peer);
void peer_write(const PtyPeer& peer, const std::vector<uint8_t>& bytes);
// Reads exactly `count` bytes from the master, failing the case after 5 s.
std::vector<uint8_t> peer_read(const PtyPeer& peer, size_t count);
// True when nothing more waits on the master within `ms`.
bool peer_quiet(const PtyPeer& peer, int ms);

// Opens the link on the peer's slave as host does, with its settings; closes
// a link a previous case left open.
void open_link_on(const PtyPeer& peer);
void close_link();

// Milliseconds since an earlier point of the monotonic clock.
int64_t monotonic_ms();

// A case with the link open on a pseudo-terminal whose far end the case
// plays, as host's link is opened in a run.
class LinkOnPty : public ::testing::Test {
  protected:
    void SetUp() override {
        open_pty_peer(peer);
        open_link_on(peer);
    }
    void TearDown() override {
        close_link();
        close_pty_peer(peer);
    }
    PtyPeer peer;
};
