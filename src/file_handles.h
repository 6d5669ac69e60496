// Owning handles for the standard streams and directory listings the
// modules open, and the one way input files are opened.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// Opens a regular file for reading. Anything else (directory, FIFO, device,
// dangling link) gives null, and the open itself never blocks.
FilePtr OpenRegularFile(const char *path, const char *mode);

// Creates or empties an output file and opens it with mode. Anything that
// would make its writes wait forever (a FIFO or socket without a reader)
// gives null.
FilePtr CreateOutputFile(const char *path, const char *mode);
