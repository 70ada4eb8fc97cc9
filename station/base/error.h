// The station's one fault: what the operator is told, and the exit status
// the command ends with (2, a usage, file or store fault, unless it says
// otherwise). Thrown by every room, caught once, in main.
#pragma once

#include "station/base/visible.h"

#include <string>
#include <unistd.h>

struct StationError {
    std::string message;
    int status = 2;
};

// One line of the station's own to standard error, "station: " first, in
// one write, so that lines of several threads never mix; a closed standard
// error takes nothing, and ends nothing. The texts it quotes are shown
// visible.
inline void say_on_stderr(const std::string& line) {
    std::string text = "station: " + visible(line, true) + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(2, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}
