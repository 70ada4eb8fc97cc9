// Loading an image whole and sending it to the flash agent in request frames.
#pragma once

#include <cstdint>
#include <string>

// Loads the image, sends it with `command` in frames of at most CHUNK_SIZE
// bytes, one dot per frame, reading the answer after each; for CMD_OTP_DATA
// closes with the execute frame at `otp_address`. Stops at the first failing
// answer. Returns 0, 1 when the image could not be loaded (its message
// printed), or the failing answer's status. The image is released on every
// path.
uint16_t program_image(const std::string& path, uint16_t command, uint32_t otp_address);

// The data frames (one dot each) that carry an image of `size` bytes.
int64_t data_frames_for(int64_t size);
