#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "record_file.h"

struct RecordFile::Handle {
    int fd = -1;
    ~Handle() {
        if (fd >= 0) close(fd);
    }
};

RecordFile::RecordFile() : handle(std::make_unique<Handle>()) {}
RecordFile::~RecordFile() = default;

int OpenRecordFile(const std::string &path, RecordFile *file) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    file->handle->fd = fd;
    return 0;
}

int AppendRecordLine(RecordFile &file, const std::string &line) {
    const int fd = file.handle->fd;
    struct stat before {};
    if (fstat(fd, &before) != 0) return errno;
    ssize_t written;
    do {
        written = write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) return errno;
    if (static_cast<size_t>(written) != line.size()) {
        // A disk that filled up in the middle of the line: a reader must
        // never see half a record, so the part is cut off again (regular
        // files only: a device has no size to go back to).
        if (S_ISREG(before.st_mode)) (void)ftruncate(fd, before.st_size);
        return ENOSPC;
    }
    // A pipe or a terminal cannot be synced (EINVAL); the line has reached
    // its reader anyway.
    if (fsync(fd) != 0 && errno != EINVAL) return errno;
    return 0;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}
