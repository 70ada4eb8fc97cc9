// Writing the sync byte and request frames to the link.
#include "protocol/protocol.h"

#include "link/link.h"

void send_sync() {
    DWORD written = 0;
    // The outcome is not examined: a lost sync byte shows as a missing answer.
    WriteFile(serial_handle, &SYNC_BYTE, 1, &written, nullptr);
}

void send_request(RequestFrame& frame) {
    frame.crc = crc16(frame);
    DWORD written = 0;
    // A failed or short write is not examined: the answer, or its absence,
    // tells the job.
    WriteFile(serial_handle, &frame, sizeof(frame), &written, nullptr);
}
