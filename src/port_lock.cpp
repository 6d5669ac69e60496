#include "port_lock.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>

namespace {

int locked_fd = -1;
bool exit_handler_registered = false;

void UnlockAtExit() { UnlockPort(locked_fd); }

}  // namespace

int LockOpenPort(int fd) {
    if (fd < 0) {
        errno = EBADF;
        return kPortNotLocked;
    }
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return kPortNotLocked;

    // Not a terminal (ENOTTY), or one without the exclusive mode (EINVAL):
    // the advisory lock alone has to do.
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        const int saved = errno;
        flock(fd, LOCK_UN);
        errno = saved;
        return kPortNotLocked;
    }
    locked_fd = fd;
    if (!exit_handler_registered) exit_handler_registered = atexit(UnlockAtExit) == 0;
    return kPortLocked;
}

void UnlockPort(int fd) {
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);  // harmless where the mode was never set
    flock(fd, LOCK_UN);
    if (fd == locked_fd) locked_fd = -1;
}
