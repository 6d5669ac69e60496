// The input opener and the output creator on POSIX systems.
#include "file_handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Makes fd block again and wraps it in a stream; fd is closed when that fails.
FilePtr BlockingStream(int fd, const char *mode) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *file = fdopen(fd, mode);
    if (file == nullptr) close(fd);
    return FilePtr(file);
}

}  // namespace

// Opening a FIFO normally blocks until a writer comes, and a device such as
// /dev/zero never ends, so the open itself must not block and the type is
// checked before any byte is read.
FilePtr OpenRegularFile(const char *path, const char *mode) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    // A regular file never blocks; it is read the usual way from here on.
    return BlockingStream(fd, mode);
}

// FIFOs and sockets are refused: with no reader at the other end their
// writes would wait forever. Devices pass (a full disk is tried on /dev/full).
FilePtr CreateOutputFile(const char *path, const char *mode) {
    const int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    return BlockingStream(fd, mode);
}
