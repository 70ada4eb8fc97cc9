// Naming, opening and configuring the serial port.
#include "link/link.h"

#include <cstdio>
#include <iostream>

HANDLE serial_handle = INVALID_HANDLE_VALUE;
WideString port_name;
bool port_from_command_line = false;

namespace {

// Prefixing the name with "\\.\" makes ports above COM9 open as well.
const char DEVICE_PREFIX[] = "\\\\.\\";

DCB line_settings;

// Reads one white-space-delimited token; the character that ends it stays
// unread, with the rest of its line. At the end of input the name stays empty.
void ask_port_name() {
    std::printf("Please enter Serial port COM<x> :  ");
    std::fflush(stdout);
    std::string typed;
    if (std::cin >> typed) {
        port_name = widen(typed);
    }
    std::printf("\n\n");
}

BOOL apply_timeouts() {
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = READ_INTERVAL_TIMEOUT_MS;
    timeouts.ReadTotalTimeoutMultiplier = READ_TOTAL_TIMEOUT_MULTIPLIER_MS;
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_CONSTANT_MS;
    timeouts.WriteTotalTimeoutMultiplier = WRITE_TOTAL_TIMEOUT_MULTIPLIER_MS;
    timeouts.WriteTotalTimeoutConstant = WRITE_TOTAL_TIMEOUT_CONSTANT_MS;
    return SetCommTimeouts(serial_handle, &timeouts);
}

} // namespace

WideString widen(const std::string& bytes) {
    WideString wide;
    wide.reserve(bytes.size());
    for (char byte : bytes) {
        wide.push_back(static_cast<WCHAR>(static_cast<int16_t>(static_cast<signed char>(byte))));
    }
    return wide;
}

int open_serial_link() {
    if (!port_from_command_line) {
        ask_port_name();
    }
    port_name = widen(DEVICE_PREFIX) + port_name;
    serial_handle = CreateFileW(port_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (serial_handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            std::printf(" serial port does not exist \n");
        }
        std::printf("Unable to Open serial port\n");
        return 1;
    }
    line_settings.DCBlength = sizeof(DCB);
    if (!BuildCommDCBW(widen(LINE_DEFINITION).c_str(), &line_settings)) {
        std::printf("error %d\n", static_cast<int>(GetLastError()));
        return 1;
    }
    if (!SetCommState(serial_handle, &line_settings)) {
        return 1;
    }
    if (!SetupComm(serial_handle, QUEUE_SIZE_IN, QUEUE_SIZE_OUT)) {
        return 1;
    }
    if (!apply_timeouts()) {
        std::printf("Set timeout error\n");
        return 1;
    }
    return 0;
}
