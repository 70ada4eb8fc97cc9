// Fuzzes the interpretation of response frames with arbitrary bytes.
#include "protocol/protocol.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // What the responses print is not what is being fuzzed.
    return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < RESPONSE_FRAME_SIZE) {
        return 0;
    }
    uint16_t code = static_cast<uint16_t>(data[0] << 8 | data[1]);
    bool value_zero = (data[2] | data[3] | data[4] | data[5]) == 0;
    bool version_matches = data[2] == 0 && data[3] == 0 && data[4] == 0 && data[5] == 2;
    bool success = (code == RSP_PROGRAM_STATUS && !value_zero) || code == RSP_EXECUTE_RESULT ||
                   (code == RSP_VERSION && version_matches);
    if (interpret_response(data) != (success ? 0 : 1)) {
        std::abort();
    }
    return 0;
}
