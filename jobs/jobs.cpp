// The board data, OTP and firmware jobs: each finds its entries in the
// configuration file, closes it, then programs its image. Nothing passes from
// one job to the next.
#include "jobs/jobs.h"

#include "jobs/config.h"
#include "jobs/image.h"
#include "protocol/protocol.h"

namespace {

// The path of a job whose only entry it is; the file is closed on return.
bool find_path_alone(const ImageEntry& entry, std::string& path) {
    ConfigFile config;
    return open_config(config) && find_image_path(config, entry, path);
}

// The OTP path and, below it, the OTP address: both read, and checked, before
// the image is opened; the file is closed on return.
bool find_otp_entries(std::string& path, uint32_t& otp_address) {
    ConfigFile config;
    return open_config(config) && find_image_path(config, OTP_ENTRY, path) &&
           find_otp_address(config, otp_address);
}

} // namespace

uint16_t run_board_data_job() {
    std::string path;
    if (!find_path_alone(BOARD_DATA_ENTRY, path)) {
        return 1;
    }
    return program_image(path, CMD_BOARD_DATA, 0);
}

uint16_t run_otp_job() {
    std::string path;
    uint32_t otp_address = 0;
    if (!find_otp_entries(path, otp_address)) {
        return 1;
    }
    return program_image(path, CMD_OTP_DATA, otp_address);
}

uint16_t run_firmware_job() {
    std::string path;
    if (!find_path_alone(FIRMWARE_ENTRY, path)) {
        return 1;
    }
    return program_image(path, CMD_FIRMWARE_DATA, 0);
}
