// Opening a file for reading on POSIX systems.
#include "jobs/files.h"

#include <fcntl.h>
#include <unistd.h>

FILE* open_for_reading(const char* path) {
    // Without O_NONBLOCK, opening a FIFO that has no writer waits for one,
    // for ever, with the port held. Reads then block as usual.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    FILE* file = fcntl(fd, F_SETFL, 0) == 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        close(fd);
    }
    return file;
}
