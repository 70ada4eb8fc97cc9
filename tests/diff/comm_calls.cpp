// comm_calls: calls each kernel32 serial function that the link uses, with the
// values the link uses and the edge values around them, and prints what each
// call gave, one "name: value" line each. Built twice from this one source:
// natively against our POSIX layer, and with MinGW against the real kernel32
// (run under Wine); the test compares the two outputs field by field.
//
//   comm_calls PORT
//
// PORT is opened as the link opens a port: a pseudo-terminal whose far end the
// test holds (its path natively, a COM port mapped to it under Wine). The test
// writes 3 bytes to the line before the program starts, and answers the
// program's "@@WRITE n" lines by writing n bytes to the line and a line on the
// program's standard input.
#include "link/link.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

void say(const std::string& name, const std::string& value) {
    std::printf("%s: %s\n", name.c_str(), value.c_str());
    std::fflush(stdout);
}

std::string number(unsigned long value) {
    return std::to_string(value);
}

// The call's result and, after a failure, GetLastError.
std::string outcome(BOOL ok) {
    return ok ? "ok" : "failed " + number(GetLastError());
}

std::string dcb_fields(const DCB& d) {
    char text[400];
    std::snprintf(text, sizeof(text),
                  "DCBlength=%lu BaudRate=%lu fBinary=%u fParity=%u fOutxCtsFlow=%u "
                  "fOutxDsrFlow=%u fDtrControl=%u fDsrSensitivity=%u fTXContinueOnXoff=%u "
                  "fOutX=%u fInX=%u fErrorChar=%u fNull=%u fRtsControl=%u fAbortOnError=%u "
                  "XonLim=%u XoffLim=%u ByteSize=%u Parity=%u StopBits=%u XonChar=%d "
                  "XoffChar=%d ErrorChar=%d EofChar=%d EvtChar=%d",
                  (unsigned long)d.DCBlength, (unsigned long)d.BaudRate, d.fBinary, d.fParity,
                  d.fOutxCtsFlow, d.fOutxDsrFlow, d.fDtrControl, d.fDsrSensitivity,
                  d.fTXContinueOnXoff, d.fOutX, d.fInX, d.fErrorChar, d.fNull, d.fRtsControl,
                  d.fAbortOnError, d.XonLim, d.XoffLim, d.ByteSize, d.Parity, d.StopBits, d.XonChar,
                  d.XoffChar, d.ErrorChar, d.EofChar, d.EvtChar);
    return text;
}

HANDLE open_port(const std::string& name) {
    return CreateFileW(widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void try_open(const std::string& label, const std::string& name) {
    SetLastError(0);
    HANDLE handle = open_port(name);
    say("open " + label, outcome(handle != INVALID_HANDLE_VALUE));
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
}

// From a zeroed record with DCBlength set, as the link fills it, and from a
// record of all ones, to see which fields a text sets and which it leaves.
void build(const std::string& text) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    SetLastError(0);
    BOOL ok = BuildCommDCBW(widen(text).c_str(), &dcb);
    say("build \"" + text + "\"", outcome(ok));
    say("build \"" + text + "\" fields", dcb_fields(dcb));
    std::memset(&dcb, 0xFF, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    BuildCommDCBW(widen(text).c_str(), &dcb);
    say("build \"" + text + "\" over ones", dcb_fields(dcb));
}

DCB link_record() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    BuildCommDCBW(widen(LINE_DEFINITION).c_str(), &dcb);
    return dcb;
}

void set_state(HANDLE port, const std::string& label, DCB dcb) {
    SetLastError(0);
    say("set state " + label, outcome(SetCommState(port, &dcb)));
}

void set_timeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS timeouts = {interval, multiplier, constant, WRITE_TOTAL_TIMEOUT_MULTIPLIER_MS,
                             WRITE_TOTAL_TIMEOUT_CONSTANT_MS};
    SetLastError(0);
    say("set timeouts " + number(interval) + "/" + number(multiplier) + "/" + number(constant),
        outcome(SetCommTimeouts(port, &timeouts)));
}

// Asks the test to put `count` bytes on the line and waits for its word.
void ask_for_bytes(int count) {
    say("@@WRITE", number(count));
    std::string word;
    std::getline(std::cin, word);
}

// Read time-outs are compared by the band their time falls in, not to the
// millisecond.
std::string band(long long ms) {
    if (ms < 50) {
        return "at once";
    }
    if (ms < 400) {
        return "about one total time-out";
    }
    return "long";
}

void read_bytes(HANDLE port, const std::string& label, DWORD count) {
    unsigned char buffer[64] = {};
    DWORD got = 99;
    SetLastError(0);
    auto start = std::chrono::steady_clock::now();
    BOOL ok = ReadFile(port, buffer, count, &got, nullptr);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    std::string bytes;
    for (DWORD i = 0; i < got && i < sizeof(buffer); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), "%02x", buffer[i]);
        bytes += hex;
    }
    say("read " + label,
        outcome(ok) + " count=" + number(got) + " bytes=" + bytes + " time=" + band(ms));
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: comm_calls PORT\n");
        return 2;
    }
    std::string port_text = argv[1];

    // Names: the prefix, a port that is not there, an empty name.
    try_open("missing", "\\\\.\\COM250");
    try_open("prefix only", "\\\\.\\");

    // The definition texts: the link's, and the forms around it.
    const char* const texts[] = {
        "115200,N,8,1",
        "115200,n,8,1",
        "9600,e,7,2",
        "9600,o,8,1",
        "115200,n,8,1,x",
        "115200,n,8,1,p",
        "115200,n,8,1,X",
        "115200,N,8,1,z",
        "115200,N,8",
        "115200",
        "",
        "115200,N,9,1",
        "115200,N,8,3",
        "fast,N,8,1",
        "115200,Q,8,1",
        "115200, N, 8, 1",
        "9600,m,8,1",
        "9600,s,8,1",
        "9600,n,5,1.5",
        "9600,n,8,1.5",
        "96,n,8,1",
        "11,n,8,1",
        "0,n,8,1",
        "115200,n,8,1,",
        "115200,n,8,1,x ",
        " 115200,n,8,1",
        "115200 ,n,8,1",
        "115200,n,4,1",
        "COM1:115200,n,8,1",
        "115200,n,8,1,xp",
        "+115200,n,8,1",
        "115200,n,08,1",
    };
    for (const char* text : texts) {
        build(text);
    }

    // The port as the link opens it, with 3 bytes waiting on the line.
    SetLastError(0);
    HANDLE port = open_port("\\\\.\\" + port_text);
    say("open port", outcome(port != INVALID_HANDLE_VALUE));
    if (port == INVALID_HANDLE_VALUE) {
        return 1;
    }
    try_open("second opener", "\\\\.\\" + port_text);

    DCB dcb = link_record();
    set_state(port, "link", dcb);
    SetLastError(0);
    say("setup comm", outcome(SetupComm(port, QUEUE_SIZE_IN, QUEUE_SIZE_OUT)));
    set_timeouts(port, READ_INTERVAL_TIMEOUT_MS, READ_TOTAL_TIMEOUT_MULTIPLIER_MS,
                 READ_TOTAL_TIMEOUT_CONSTANT_MS);

    // Bytes that were on the line before the open.
    read_bytes(port, "after open", 6);

    // Transfers under the link's time-outs.
    unsigned char sync = 0xDD;
    DWORD written = 99;
    SetLastError(0);
    BOOL ok = WriteFile(port, &sync, 1, &written, nullptr);
    say("write sync", outcome(ok) + " count=" + number(written));
    ask_for_bytes(7);
    read_bytes(port, "6 of 7 waiting", 6);
    read_bytes(port, "the 7th", 6);
    read_bytes(port, "silence", 6);

    // Other records on the open port: the link's record with one change.
    const struct {
        const char* label;
        void (*change)(DCB&);
    } changes[] = {
        {"9600", [](DCB& d) { d.BaudRate = 9600; }},
        {"lines low",
         [](DCB& d) {
             d.fDtrControl = DTR_CONTROL_DISABLE;
             d.fRtsControl = RTS_CONTROL_DISABLE;
         }},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
        {"parity 7", [](DCB& d) { d.Parity = 7; }},
        {"mark parity", [](DCB& d) { d.Parity = MARKPARITY; }},
        {"12345 baud", [](DCB& d) { d.BaudRate = 12345; }},
        {"0 baud", [](DCB& d) { d.BaudRate = 0; }},
        {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
        {"1.5 stop bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
        {"DTR handshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }},
        {"RTS handshake", [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }},
        {"RTS toggle", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }},
        {"XON/XOFF",
         [](DCB& d) {
             d.fOutX = 1;
             d.fInX = 1;
         }},
        {"CTS flow", [](DCB& d) { d.fOutxCtsFlow = 1; }},
    };
    for (const auto& c : changes) {
        DCB changed = dcb;
        c.change(changed);
        set_state(port, c.label, changed);
    }
    set_state(port, "link again", dcb);

    // A port closed and opened again.
    SetLastError(0);
    say("close", outcome(CloseHandle(port)));
    try_open("again", "\\\\.\\" + port_text);
    return 0;
}
