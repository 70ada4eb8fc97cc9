// The programming jobs: the configuration file, loading an image and sending
// it chunk by chunk, and the board data, OTP and firmware jobs built on them.
#pragma once

#include "protocol.h"

#include <cstdint>
#include <cstdio>
#include <string>

constexpr const char* CONFIG_FILE_NAME = "tivConfig.txt";

// The image of the running job: its file, held open from load_image to
// release_image, its whole content and its length. Jobs run one at a time.
extern FILE* image_file;
extern uint8_t* image_buffer;
extern int32_t image_length;

// True when the line starts with the key; `value` is then all after the
// line's first space, or the whole line when it has none.
bool match_entry(const std::string& line, const std::string& key, std::string& value);
// Reads a signed 32-bit hexadecimal number ("1A000", "0x1a000", "-1"); false
// when the text holds none or it lies outside the signed 32-bit range.
bool parse_otp_address(const std::string& text, uint32_t& address);

// Opens, measures and reads the whole image; 0 on success, 1 after printing
// the failure on standard error (nothing is then left open or allocated).
int load_image(const std::string& path);
// Sends the loaded image in frames of at most CHUNK_SIZE bytes, one dot per
// frame, reading the answer after each; stops at the first failing answer and
// returns its status, or 0.
uint16_t send_image(RequestFrame& frame, uint16_t command, uint32_t otp_address);
// Closes the image file and frees its buffer.
void release_image();

// Each returns its job result: 0 for success, otherwise the failure.
uint16_t run_board_data_job();
uint16_t run_otp_job();
uint16_t run_firmware_job();
