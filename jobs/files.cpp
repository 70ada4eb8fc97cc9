// Opening the files a job reads, on every platform.
#include "jobs/files.h"

#include <sys/stat.h>

FILE* open_regular_file(const std::string& path, int64_t& size) {
    struct stat status;
    // Checked by name first, so that no device is opened at all (opening a
    // tty raises its DTR and RTS), then on what was opened.
    if (path.find('\0') != std::string::npos || stat(path.c_str(), &status) != 0 ||
        !S_ISREG(status.st_mode)) {
        return nullptr;
    }
    FILE* file = open_for_reading(path.c_str());
    if (file != nullptr && (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode))) {
        std::fclose(file);
        return nullptr;
    }
    if (file != nullptr) {
        size = status.st_size;
    }
    return file;
}
