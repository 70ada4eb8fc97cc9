// The station's one fault: what the operator is told, and the exit status
// the command ends with (2, a usage, file or store fault, unless it says
// otherwise). Thrown by every room, caught once, in main.
#pragma once

#include <string>

struct StationError {
    std::string message;
    int status = 2;
};
