// The serial link: the one port through which every byte of a run passes.
//
// The link is written against kernel32's serial calls; the build gives it
// either the real ones (Windows) or our POSIX layer that keeps the same
// promises (see kernel32.h of each).
#pragma once

// The real calls on Windows, our layer elsewhere.
#ifdef _WIN32
#include "link/win32/kernel32.h"
#else
#include "link/posix/kernel32.h"
#endif

#include <cstdint>
#include <string>

typedef std::basic_string<WCHAR> WideString;

// Line settings, queue sizes and time-outs of the port (time-outs in ms).
constexpr const char* LINE_DEFINITION = "115200,N,8,1";
constexpr DWORD QUEUE_SIZE_IN = 1024;  // bytes
constexpr DWORD QUEUE_SIZE_OUT = 1024; // bytes
constexpr DWORD READ_INTERVAL_TIMEOUT_MS = 100;
constexpr DWORD READ_TOTAL_TIMEOUT_MULTIPLIER_MS = 10; // per byte requested
constexpr DWORD READ_TOTAL_TIMEOUT_CONSTANT_MS = 100;
constexpr DWORD WRITE_TOTAL_TIMEOUT_MULTIPLIER_MS = 1000; // per byte written
constexpr DWORD WRITE_TOTAL_TIMEOUT_CONSTANT_MS = 1000;

// The open port; the invalid-handle value after a failed open. Never closed:
// the process's end releases it.
extern HANDLE serial_handle;
// The port's name as the user gave it; open_serial_link turns it into the
// device name.
extern WideString port_name;
// Set when the command line named the port, so no prompt is shown.
extern bool port_from_command_line;

// One 16-bit character per byte, with the byte's value taken as signed, as the
// command line and the prompt give names (0x80 becomes 0xFF80).
WideString widen(const std::string& bytes);

// Asks for the port name unless the command line gave it, opens the port and
// applies line settings, queue sizes and time-outs. Returns 0 when the port is
// ready, 1 after printing what went wrong.
int open_serial_link();
