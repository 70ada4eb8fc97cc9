// The programming jobs: each looks up its image in the configuration file,
// loads it whole and sends it chunk by chunk to the flash agent.
#pragma once

#include <cstdint>

// Each returns its job result: 0 for success, otherwise the failure.
uint16_t run_board_data_job();
uint16_t run_otp_job();
uint16_t run_firmware_job();
