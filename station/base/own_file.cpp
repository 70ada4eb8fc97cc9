// The station's own files and folders.
#include "station/base/own_file.h"

#include "station/base/error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void refuse(const std::string& path, const std::string& what, const char* kind) {
    throw StationError{what + " " + path + " is not " + kind +
                       ", so it is not the station's own: remove it"};
}

} // namespace

int open_own_file(const std::string& path, const std::string& what) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw StationError{"cannot open " + what + " " + path + ": " + std::strerror(errno)};
    }
    struct stat about;
    if (fstat(fd, &about) != 0 || !S_ISREG(about.st_mode) || about.st_uid != geteuid() ||
        fchmod(fd, 0600) != 0) {
        close(fd);
        refuse(path, what, "a file of this user");
    }
    return fd;
}

void make_own_folder(const std::string& path, const std::string& what) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw StationError{"cannot make " + what + " " + path + ": " + std::strerror(errno)};
    }
    struct stat about;
    if (lstat(path.c_str(), &about) != 0 || !S_ISDIR(about.st_mode) || about.st_uid != geteuid() ||
        (about.st_mode & 022) != 0) {
        refuse(path, what, "a folder of this user that no one else can write");
    }
}
