// Command line, banner, help and the job sequence.
#include "driver/driver.h"

#include "jobs/jobs.h"
#include "link/link.h"
#include "protocol/protocol.h"

#include <cstdio>
#include <cstddef>
#include <cstring>

namespace {

constexpr size_t IMAGE_PATH_SIZE = 108; // bytes, the terminating NUL included
constexpr size_t MAC_ADDRESS_SIZE = 24; // bytes, the terminating NUL included

// Stored from the command line; nothing reads them further: the images are
// named in the configuration file and the MAC address is not sent.
char image_path[IMAGE_PATH_SIZE];
char mac_address[MAC_ADDRESS_SIZE];

// Copies an argument, cut to fit its buffer.
void copy_cut(char* buffer, size_t size, const char* argument) {
    std::snprintf(buffer, size, "%s", argument);
}

// After a failed job the operator has the last word: one character is read
// (a line end left by the port prompt ends the wait at once).
bool report_job(uint16_t result, const char* failed, const char* succeeded) {
    if (result != 0) {
        std::printf("%s", failed);
        std::fflush(stdout);
        std::getchar();
        return false;
    }
    std::printf("%s", succeeded);
    return true;
}

void print_help() {
    std::printf("host.exe -h         - Prints this help menu\n");
    std::printf("host.exe -v         - Prints current version\n");
    std::printf("\nUsage -  \n\n");
    std::printf("host.exe <COM PORT>  <Path to image [optional]>   <MAC address>\n");
    std::printf("          where-   COM PORT= serial port e.g. COM8\n");
    std::printf("                   Path to image- if not provided, default will be assumed\n");
    std::printf("                   MAC address= 12 HEX characters, no special characters\n");
}

} // namespace

void print_banner() {
    // Each row is 51 characters before its line feed.
    const char full_row[] = "###################################################\n";
    const char empty_row[] = "###                                        ########\n";
    const char title_row[] = "###        NEB TIV PROGRAMMER UTILITY      ########\n";
    const char* const rows[] = {full_row,  empty_row, empty_row, title_row,
                                empty_row, full_row,  full_row,  "\n\n"};
    for (const char* row : rows) {
        std::printf("%s", row);
    }
}

int answer_option(const char* option) {
    if (std::strcmp(option, "-v") == 0) {
        // The version of the utility is the protocol version it speaks.
        std::printf("Current version = %d\n", static_cast<int>(PROTOCOL_VERSION));
        return 0;
    }
    if (std::strcmp(option, "-h") == 0) {
        print_help();
        return 0;
    }
    std::printf("Invalid option, please use -h for help menu\n");
    return 1;
}

void take_command_line(int argc, char* argv[]) {
    port_name = widen(argv[1]);
    port_from_command_line = true;
    if (argc == 3) {
        copy_cut(image_path, sizeof(image_path), "\r");
        copy_cut(mac_address, sizeof(mac_address), argv[2]);
    } else {
        copy_cut(image_path, sizeof(image_path), argv[2]);
        copy_cut(mac_address, sizeof(mac_address), argv[3]);
    }
}

int run_job_sequence() {
    if (!report_job(run_board_data_job(), "Programming board data failed\n",
                    "Programming board data successful\n") ||
        !report_job(run_otp_job(), "Programming OTP failed\n", "Programming OTP successful\n") ||
        !report_job(run_firmware_job(), "Programming TIV failed\n",
                    "Programming TIV successful\n")) {
        return 1;
    }
    return 0;
}
