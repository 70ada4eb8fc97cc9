// Opening the files a job reads: the configuration file and the images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Opens a regular file for reading, in binary, and gives its size; null for
// anything else (a folder, a device, a FIFO, a path with a NUL byte). The
// kind is checked on the open file itself, so a path swapped for a FIFO
// between the check and the open is refused too, never waited on.
FILE* open_regular_file(const std::string& path, int64_t& size);

// The platform's open for reading, in binary; open_regular_file checks what
// it opened.
FILE* open_for_reading(const char* path);
