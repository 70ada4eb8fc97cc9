// The serial-port calls of kernel32, as the link uses them, for POSIX systems.
//
// The link is written against the Windows calls; on POSIX this layer provides
// the same names, records and promises on top of termios and poll, so the
// logic above it runs unchanged. The promises kept, per handle:
//
//  - ReadFile(n) returns TRUE with the bytes held when all n have arrived,
//    when more than ReadIntervalTimeout ms pass between two bytes after the
//    first, or when ReadTotalTimeoutMultiplier * n + ReadTotalTimeoutConstant
//    ms have passed since the call; the count may be lower than n, even 0.
//    A time-out is not an error.
//  - WriteFile(n) writes every byte, or fails with ERROR_TIMEOUT once
//    WriteTotalTimeoutMultiplier * n + WriteTotalTimeoutConstant ms have
//    passed, reporting the count written so far.
//  - A line that hung up (the far end closed, the adapter unplugged) makes
//    ReadFile and WriteFile fail with ERROR_ACCESS_DENIED. A hang-up is never
//    reported as a time-out.
//  - Every wait is a poll against a deadline on the monotonic clock.
//  - BuildCommDCBW reads the old-style text as Windows does: without a last
//    letter ("115200,N,8,1") it enables DTR and RTS and clears every flow
//    control; ",x" adds XON/XOFF, ",p" hands DTR and RTS to handshaking.
//  - SetCommState drives DTR and RTS as the record says: ..._DISABLE lowers
//    the line and keeps it low while the port is open, ..._ENABLE raises it,
//    RTS_CONTROL_HANDSHAKE gives RTS to the driver's CTS/RTS flow control.
//    Any speed the driver takes is set (through termios2 where termios has
//    no constant). What Linux cannot do is refused: DTR handshake, RTS
//    toggle, speed 0 (which would hang the line up). A pseudo-terminal has
//    no modem lines: there the request has no effect.
//  - CreateFileW gives a handle with empty queues, as on Windows: bytes that
//    waited on the port before the open are discarded, once the port is held
//    (a refused second opener discards nothing).
//  - The exclusive hold of CreateFileW ends with the process, as the port's
//    handle does on Windows: at exit and when any signal whose default is to
//    end the process ends it (SIGKILL leaves no chance; the kernel then drops
//    the hold only at the port's last close). The handlers are in place
//    before the hold is taken.
//  - A second opener that takes the same lock (a second host) is refused
//    after its open of the tty; Linux raises DTR and RTS at every open, which
//    the holder keeps high anyway.
//  - The port never takes a standard descriptor: CreateFileW first opens
//    /dev/null on any of 0, 1 and 2 that is closed, so neither the port nor
//    a file opened later stands in for a console stream. It also ignores
//    SIGPIPE: as on Windows, output that can no longer be written fails and
//    is lost instead of ending the process.
//
// Device names: one leading "\\.\" is stripped; a name containing "/" is a
// path, "COM<n>" is /dev/ttyS<n-1> (as Wine maps them), anything else is
// /dev/<name>. As on Windows, an empty name or one too long for the file
// system fails with ERROR_INVALID_NAME, a port that is not there with
// ERROR_FILE_NOT_FOUND (as does a path that names no terminal here), and a
// port held by another opener with ERROR_ACCESS_DENIED.
#pragma once

#include <cstdint>

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef char16_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef void* HANDLE;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u

#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INVALID_NAME 123u
#define ERROR_TIMEOUT 1460u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

// The line settings record, member for member as on Windows (28 bytes).
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB must have the Windows layout");

// All members in milliseconds.
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share_mode, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError();
void SetLastError(DWORD error);
BOOL BuildCommDCBW(LPCWSTR definition, DCB* dcb);
BOOL SetCommState(HANDLE handle, DCB* dcb);
BOOL SetupComm(HANDLE handle, DWORD in_queue, DWORD out_queue);
BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written,
               OVERLAPPED* overlapped);
BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped);
void Sleep(DWORD milliseconds);

// Not a kernel32 call: what CreateFileW does before it opens a port, for the
// project's other programs that open a line (the simulated agent). A closed
// standard descriptor gets /dev/null, so that no line takes its number and no
// console output reaches a line; SIGPIPE is ignored.
void guard_standard_streams();
