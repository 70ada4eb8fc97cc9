// Files and folders the station keeps for itself where others may look (a
// lock beside the store, the spool, the boards' logs): made by this user
// (files mode 0600, folders 0700), never through a link; one that another
// user owns, or others can write, is refused ("WHAT PATH is not a file of
// this user, so it is not the station's own: remove it").
#pragma once

#include <string>

// Returns the file open for reading and writing, close-on-exec.
int open_own_file(const std::string& path, const std::string& what);
void make_own_folder(const std::string& path, const std::string& what);
