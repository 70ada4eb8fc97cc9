// host: writes the board data, OTP and firmware images into a target board
// through its flash agent on a serial line.
#include "driver/driver.h"

#include "link/link.h"
#include "protocol/protocol.h"

#include <cstdio>

namespace {

// Kept in the program although nothing reads it: what `strings host` shows.
[[gnu::used]] const char RELEASE_VERSION[] = "host release " HOST_RELEASE_VERSION;

} // namespace

int main(int argc, char* argv[]) {
    print_banner();
    if (argc == 2) {
        return answer_option(argv[1]);
    }
    if (argc > 2) {
        take_command_line(argc, argv);
    }
    if (open_serial_link() != 0) {
        std::printf("\nInit failed\n");
        return 1;
    }
    send_sync();
    Sleep(SYNC_PAUSE_MS);
    return run_job_sequence();
}
