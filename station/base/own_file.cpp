// The station's own files and folders.
#include "station/base/own_file.h"

#include "station/base/error.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::string user_name(uid_t uid) {
    const passwd* user = getpwuid(uid);
    return user ? user->pw_name : "#" + std::to_string(uid);
}

std::string group_name(gid_t gid) {
    const group* found = getgrgid(gid);
    return found ? found->gr_name : "#" + std::to_string(gid);
}

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%03o", static_cast<unsigned>(mode & 0777));
    return text;
}

std::string owned(const struct stat& about) {
    return user_name(about.st_uid) + "'s, group " + group_name(about.st_gid) + ", mode " +
           mode_text(about.st_mode);
}

namespace {

bool in_group(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    int count = getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(count, 0), gid) !=
           groups.begin() + std::max(count, 0);
}

std::string parent_of(const std::string& path) {
    std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

[[noreturn]] void refuse(const std::string& path, const std::string& what, const struct stat& about,
                         const std::string& fix) {
    throw StationError{what + " " + path + " is " + owned(about) +
                       ", so it is not the station's own: " + fix};
}

} // namespace

std::optional<gid_t> line_group(const std::string& folder) {
    struct stat about;
    if (stat(folder.c_str(), &about) != 0 || !S_ISDIR(about.st_mode) ||
        (about.st_mode & S_ISGID) == 0 || (about.st_mode & S_IWOTH) != 0 ||
        !in_group(about.st_gid)) {
        return std::nullopt;
    }
    return about.st_gid;
}

mode_t own_file_mode(const std::string& path) {
    return line_group(parent_of(path)) ? 0660 : 0600;
}

int open_own_file(const std::string& path, const std::string& what) {
    std::optional<gid_t> line = line_group(parent_of(path));
    mode_t mode = line ? 0660 : 0600;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
    struct stat about;
    if (fd < 0) {
        int error = errno;
        // Another login's file: said with whose it is and what lets this one in.
        if (error == EACCES && lstat(path.c_str(), &about) == 0) {
            throw StationError{
                "cannot open " + what + " " + path + ": it is " + owned(about) +
                ", and this user (" + user_name(geteuid()) + ") may not write it: " +
                (line || in_group(about.st_gid)
                     ? user_name(about.st_uid) + " lets the line's group write it (chmod g+rw " +
                           path + ")"
                     : "add " + user_name(geteuid()) + " to the group " + group_name(about.st_gid) +
                           " (sudo adduser " + user_name(geteuid()) + " " +
                           group_name(about.st_gid) + "), then log in again")};
        }
        throw StationError{"cannot open " + what + " " + path + ": " + std::strerror(error)};
    }
    bool regular = fstat(fd, &about) == 0 && S_ISREG(about.st_mode);
    bool mine = regular && about.st_uid == geteuid();
    // In the line's folder, a file of another of its logins is the line's
    // own when the group may read and write it and no one else may write it.
    bool lines = line && regular && about.st_gid == *line && (about.st_mode & 0060) == 0060 &&
                 (about.st_mode & S_IWOTH) == 0;
    if (mine && fchmod(fd, mode) == 0 && (!line || about.st_gid == *line)) {
        return fd;
    }
    if (!mine && lines) {
        return fd;
    }
    close(fd);
    refuse(path, what, about,
           line ? "remove it, or its owner lets the line's group have it (chgrp " +
                      group_name(*line) + " " + path + "; chmod g+rw " + path + ")"
                : std::string("remove it"));
}

void make_own_folder(const std::string& path, const std::string& what) {
    std::optional<gid_t> line = line_group(parent_of(path));
    mode_t mode = line ? 02770 : 0700;
    if (mkdir(path.c_str(), mode) == 0) {
        chmod(path.c_str(), mode); // what the umask took
    } else if (errno != EEXIST) {
        throw StationError{"cannot make " + what + " " + path + ": " + std::strerror(errno)};
    }
    struct stat about;
    if (lstat(path.c_str(), &about) != 0 || !S_ISDIR(about.st_mode)) {
        throw StationError{what + " " + path +
                           " is not a folder, so it is not the station's own: "
                           "remove it"};
    }
    bool mine = about.st_uid == geteuid() && (about.st_mode & (line ? 002 : 022)) == 0;
    bool lines = line && about.st_gid == *line && (about.st_mode & 02070) == 02070 &&
                 (about.st_mode & 002) == 0;
    if (!mine && !lines) {
        refuse(path, what, about,
               line ? "remove it, or its owner lets the line's group have it (chgrp " +
                          group_name(*line) + " " + path + "; chmod 2770 " + path + ")"
                    : std::string("remove it"));
    }
}
