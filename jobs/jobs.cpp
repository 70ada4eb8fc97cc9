// The board data, OTP and firmware jobs: each finds its entries in the
// configuration file, then programs its image. Nothing passes from one job to
// the next.
#include "jobs/jobs.h"

#include "jobs/config.h"
#include "jobs/image.h"
#include "protocol/protocol.h"

namespace {

// Line numbers of the path entries in the configuration file.
constexpr int BOARD_DATA_LINE = 1;
constexpr int OTP_LINE = 2;
constexpr int FIRMWARE_LINE = 4;

} // namespace

uint16_t run_board_data_job() {
    std::string path;
    if (!look_up_image(BOARD_DATA_LINE, "Boarddata:", "Could not find board data file", path,
                       nullptr)) {
        return 1;
    }
    return program_image(path, CMD_BOARD_DATA, 0);
}

uint16_t run_otp_job() {
    std::string path;
    uint32_t otp_address = 0;
    if (!look_up_image(OTP_LINE, "OTP:", "Could not find OTP file", path, &otp_address)) {
        return 1;
    }
    return program_image(path, CMD_OTP_DATA, otp_address);
}

uint16_t run_firmware_job() {
    std::string path;
    if (!look_up_image(FIRMWARE_LINE, "Firmware:", "Could not find Firmware file", path, nullptr)) {
        return 1;
    }
    return program_image(path, CMD_FIRMWARE_DATA, 0);
}
