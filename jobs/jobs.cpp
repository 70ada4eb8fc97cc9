// The board data, OTP and firmware jobs.
//
// Each job opens the configuration file itself, reads down to its own lines,
// closes the file before it opens its image, and owns one request frame for
// all its frames. Nothing passes from one job to the next.
#include "jobs.h"

#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

// Line numbers of the entries in the configuration file.
constexpr int BOARD_DATA_LINE = 1;
constexpr int OTP_LINE = 2;
constexpr int FIRMWARE_LINE = 4;
// Bytes of a configuration line that are kept (paths are at most a few KiB).
constexpr size_t MAX_LINE_LENGTH = 4 * 1024 * 1024;

// A message on its own line, flushed at once.
void say(const std::string& text) {
    std::cout << text << std::endl;
}

// Only a regular file is opened: a FIFO with no writer would block the open
// for ever, with the port held.
bool open_config(std::ifstream& config) {
    std::error_code ignored;
    if (std::filesystem::is_regular_file(CONFIG_FILE_NAME, ignored)) {
        config.open(CONFIG_FILE_NAME, std::ios::in | std::ios::binary);
    }
    if (!config.is_open()) {
        say("Could not open tivConfig.txt");
        return false;
    }
    return true;
}

// Reads the next line. A carriage return right before the line feed is
// dropped, so CR LF and LF files read alike. Past the end of the file the
// line keeps what the last read left in it; a file that ends with a line end
// gives one empty line more. A line longer than MAX_LINE_LENGTH keeps its
// first MAX_LINE_LENGTH bytes and the rest is passed over, so a huge line
// costs no more memory than that: no path of that length can be opened on
// any system, so a cut path still ends in "File error".
void read_line(std::ifstream& config, std::string& line) {
    if (!config.good()) {
        return;
    }
    line.clear();
    std::streambuf* text = config.rdbuf();
    for (;;) {
        int c = text->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            config.setstate(line.empty() ? std::ios::eofbit | std::ios::failbit : std::ios::eofbit);
            return;
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return;
        }
        if (line.size() < MAX_LINE_LENGTH) {
            line.push_back(static_cast<char>(c));
        }
    }
}

// Reads down to line `number` and takes the image path from it; echoes the
// path, or prints `missing` when the line does not carry the key.
bool find_path(std::ifstream& config, std::string& line, int number, const char* key,
               const char* missing, std::string& path) {
    for (int i = 0; i < number; ++i) {
        read_line(config, line);
    }
    if (!match_entry(line, key, path)) {
        say(missing);
        return false;
    }
    say("Opening " + path);
    return true;
}

uint16_t send_otp_execute(RequestFrame& frame, uint32_t otp_address) {
    frame.command = CMD_OTP_EXECUTE;
    frame.length = 0;
    frame.marker = FRAME_MARKER;
    frame.address = otp_address;
    send_request(frame);
    // No dot for this frame; the line end closes the line of dots.
    std::printf("\n");
    return read_response();
}

// Loads and sends one image with the job's own frame, zeroed when the job
// starts; the OTP job closes its transfer with the execute frame.
uint16_t program_image(const std::string& path, uint16_t command, uint32_t otp_address) {
    if (load_image(path) != 0) {
        return 1;
    }
    RequestFrame frame = {};
    uint16_t status = send_image(frame, command, otp_address);
    if (status == 0 && command == CMD_OTP_DATA) {
        status = send_otp_execute(frame, otp_address);
    }
    release_image();
    return status;
}

uint16_t run_data_job(int line_number, const char* key, const char* missing, uint16_t command) {
    std::ifstream config;
    std::string line;
    std::string path;
    if (!open_config(config) || !find_path(config, line, line_number, key, missing, path)) {
        return 1;
    }
    config.close();
    return program_image(path, command, 0);
}

} // namespace

uint16_t run_board_data_job() {
    return run_data_job(BOARD_DATA_LINE, "Boarddata:", "Could not find board data file",
                        CMD_BOARD_DATA);
}

uint16_t run_firmware_job() {
    return run_data_job(FIRMWARE_LINE, "Firmware:", "Could not find Firmware file",
                        CMD_FIRMWARE_DATA);
}

// The OTP address on line 3 is read, and checked, before the image is opened:
// one-time-programmable memory is never written at an address nobody gave.
uint16_t run_otp_job() {
    std::ifstream config;
    std::string line;
    std::string path;
    if (!open_config(config) ||
        !find_path(config, line, OTP_LINE, "OTP:", "Could not find OTP file", path)) {
        return 1;
    }
    std::string address_text;
    read_line(config, line);
    if (!match_entry(line, "OTPAddress:", address_text)) {
        say("Could not find OTP address");
        return 1;
    }
    uint32_t otp_address = 0;
    if (!parse_otp_address(address_text, otp_address)) {
        say("Invalid OTP address");
        return 1;
    }
    config.close();
    return program_image(path, CMD_OTP_DATA, otp_address);
}
