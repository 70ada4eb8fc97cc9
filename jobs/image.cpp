// Loading an image file whole and sending it chunk by chunk. Every request
// frame of the jobs is filled here.
#include "jobs/image.h"

#include "jobs/files.h"
#include "protocol/protocol.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The image of the running job: its file, held open from load_image to
// release_image, its whole content and its length. Jobs run one at a time.
FILE* image_file = nullptr;
uint8_t* image_buffer = nullptr;
int32_t image_length = 0;

constexpr int64_t MAX_IMAGE_LENGTH = 0x7FFFFFFF; // the image length is a signed 32-bit count

void close_image_file() {
    if (image_file != nullptr) {
        std::fclose(image_file);
        image_file = nullptr;
    }
}

// Closes the image file and frees its buffer.
void release_image() {
    close_image_file();
    std::free(image_buffer);
    image_buffer = nullptr;
    image_length = 0;
}

// Fills the job's frame: `count` bytes of `chunk` at the start of `data`
// (none for the execute frame), `length`, `command`, `marker` and, for the
// OTP commands, `address`: OTP_CHUNK_ADDRESS in every OTP data frame but the
// last, the OTP address in the last and in the execute frame. Bytes of `data`
// beyond `count`, and `address` of the other commands, keep what the job's
// previous frame left there; the checksum covers them.
void fill_frame(RequestFrame& frame, uint16_t command, const uint8_t* chunk, uint16_t count,
                bool last, uint32_t otp_address) {
    if (count > 0) {
        std::memcpy(frame.data, chunk, count);
    }
    frame.length = count;
    frame.command = command;
    frame.marker = command == CMD_BOARD_DATA ? 0 : FRAME_MARKER;
    if (command == CMD_OTP_DATA || command == CMD_OTP_EXECUTE) {
        frame.address = last ? otp_address : OTP_CHUNK_ADDRESS;
    }
}

// A message on standard error, after all that standard output holds, so that
// the two keep their order when they go to one file or pipe.
void report_error(const char* format, ...) {
    std::fflush(stdout);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

// Opens, measures and reads the whole image; 0 on success, 1 after printing
// the failure on standard error (nothing is then left open or allocated).
int load_image(const std::string& path) {
    int64_t size = 0;
    // Read only: nothing is ever written to an image.
    image_file = open_regular_file(path, size);
    if (image_file == nullptr) {
        report_error("File error\n");
        return 1;
    }
    if (size > MAX_IMAGE_LENGTH) {
        report_error("Image too large: %lld bytes, at most %lld can be sent\n",
                     static_cast<long long>(size), static_cast<long long>(MAX_IMAGE_LENGTH));
        close_image_file();
        return 1;
    }
    image_length = static_cast<int32_t>(size);
    std::printf("File size %d bytes\n", image_length);
    // One block even for an empty image.
    image_buffer = static_cast<uint8_t*>(std::malloc(image_length > 0 ? image_length : 1));
    if (image_buffer == nullptr) {
        report_error("Memory error");
        close_image_file();
        return 1;
    }
    if (std::fread(image_buffer, 1, image_length, image_file) != size_t(image_length)) {
        report_error("Reading error");
        release_image();
        return 1;
    }
    return 0;
}

// Sends the loaded image in frames of at most CHUNK_SIZE bytes, one dot per
// frame, reading the answer after each; stops at the first failing answer and
// returns its status, or 0.
uint16_t send_image(RequestFrame& frame, uint16_t command, uint32_t otp_address) {
    std::printf("\nProgramming");
    int32_t remaining = image_length;
    size_t offset = 0;
    uint16_t status = 0;
    // A remaining count of exactly CHUNK_SIZE goes out as the last chunk.
    while (remaining != 0 && status == 0) {
        bool last = remaining <= CHUNK_SIZE;
        uint16_t count = last ? static_cast<uint16_t>(remaining) : CHUNK_SIZE;
        fill_frame(frame, command, image_buffer + offset, count, last, otp_address);
        send_request(frame);
        remaining -= count;
        offset += count;
        // The dot follows the write and comes before the wait for the answer.
        std::printf(".");
        status = read_response();
    }
    return status;
}

uint16_t send_otp_execute(RequestFrame& frame, uint32_t otp_address) {
    fill_frame(frame, CMD_OTP_EXECUTE, nullptr, 0, true, otp_address);
    send_request(frame);
    // No dot for this frame; the line end closes the line of dots.
    std::printf("\n");
    return read_response();
}

} // namespace

uint16_t program_image(const std::string& path, uint16_t command, uint32_t otp_address) {
    if (load_image(path) != 0) {
        return 1;
    }
    // The job's own frame, zeroed when the job starts.
    RequestFrame frame = {};
    uint16_t status = send_image(frame, command, otp_address);
    if (status == 0 && command == CMD_OTP_DATA) {
        status = send_otp_execute(frame, otp_address);
    }
    release_image();
    return status;
}

int64_t data_frames_for(int64_t size) {
    return (size + CHUNK_SIZE - 1) / CHUNK_SIZE;
}
