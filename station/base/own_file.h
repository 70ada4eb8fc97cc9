// Files and folders the station keeps for itself where others may look (a
// lock beside the store, the spool, the boards' logs): made by this user,
// never through a link; files mode 0600 and folders 0700, or, in the
// line's folder (setgid, of a group this login is in, that others cannot
// write), 0660 and 2770 of that group, so that every login of the line
// runs the station. One that another user owns (outside the line's group),
// or others can write, is refused with whose it is and what to do.
#pragma once

#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

// Names as messages give them ("#1234" for a number without one).
std::string user_name(uid_t uid);
std::string group_name(gid_t gid);
// A file's permission bits as ls's number gives them ("640").
std::string mode_text(mode_t mode);
// Whose a file is, as a refusal says it: "op1's, group line, mode 600".
std::string owned(const struct stat& about);
// The line's group, when `folder` is the line's.
std::optional<gid_t> line_group(const std::string& folder);
// The mode a new file of the station's at `path` gets (0660 in the line's
// folder, else 0600).
mode_t own_file_mode(const std::string& path);
// Returns the file open for reading and writing, close-on-exec.
int open_own_file(const std::string& path, const std::string& what);
void make_own_folder(const std::string& path, const std::string& what);
