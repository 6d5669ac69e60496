// Owning handles for the standard streams and directory listings the
// modules open, and the one way input files are opened.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
// dangling link) gives null: opening a FIFO normally blocks until a writer
// comes, and a device such as /dev/zero never ends, so the open itself must
// not block and the type is checked before any byte is read.
inline FilePtr OpenRegularFile(const char *path, const char *mode) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    // A regular file never blocks; it is read the usual way from here on.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *file = fdopen(fd, mode);
    if (file == nullptr) close(fd);
    return FilePtr(file);
}
