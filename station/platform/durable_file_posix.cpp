#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "durable_file.h"

namespace {

// A rename or an unlink is durable only once the folder that holds the
// name is.
int SyncFolder(const std::string &folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return err;
}

int WriteAll(int fd, const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return written < 0 ? errno : ENOSPC;
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace

int ReplaceFileDurably(const std::string &folder, const std::string &name, const std::string &bytes) {
    const std::string path = folder + "/" + name;
    const std::string aside = path + ".tmp";
    const int fd = open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    int err = WriteAll(fd, bytes);
    if (err == 0 && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && rename(aside.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        unlink(aside.c_str());
        return err;
    }
    return SyncFolder(folder);
}

int RemoveFileDurably(const std::string &folder, const std::string &name) {
    const std::string path = folder + "/" + name;
    if (unlink(path.c_str()) != 0) return errno == ENOENT ? 0 : errno;
    return SyncFolder(folder);
}
