/*
 * LD_PRELOAD adapter that lets libserialport open a Linux pseudo-terminal
 * (/dev/pts/N) as if it were a serial port, for end-to-end tests.
 *
 * libserialport refuses a pty in two places, and this library answers
 * exactly those, passing every other call straight through:
 *
 *   1. Looking the port up: sp_get_port_by_name("/dev/pts/N") checks that
 *      /sys/class/tty/pts/N exists as a symbolic link (lstat, which the
 *      library reaches as __lxstat) and reads where it points (readlink).
 *      ptys have no such sysfs entry. For an existing /dev/pts/N the adapter
 *      reports a symbolic link to a virtual (neither USB nor Bluetooth)
 *      device.
 *   2. Opening and configuring: the library reads and sets the modem lines
 *      (ioctl TIOCMGET, TIOCMBIS, TIOCMBIC), which a pty does not have. On a
 *      pty slave the adapter keeps the lines in a small table instead, so
 *      that what was set reads back.
 *
 * Line rate, when PARDULO_PTY_PACE is set (and not "0"): the host's
 * writes to a pty slave leave no faster than a UART at the speed the host
 * set would send them, and the drain waits for them (pty_pacing.c).
 *
 * Usage: LD_PRELOAD=<build>/libpardulo_pty_adapter.so program /dev/pts/N
 * When the program is built with AddressSanitizer, also set
 * ASAN_OPTIONS=verify_asan_link_order=0 (the adapter is loaded before the
 * sanitizer's runtime; calls still reach the sanitizer through RTLD_NEXT).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include "pty_adapter.h"

/* glibc's versioned stat entry points, which older binaries (libserialport
 * 0.1.1 among them) call instead of lstat. Newer headers do not declare them. */
int __lxstat(int version, const char *path, struct stat *buf);
int __lxstat64(int version, const char *path, struct stat64 *buf);

static const char kSysfsPrefix[] = "/sys/class/tty/pts/";
static const char kLinkTarget[] = "../../devices/virtual/tty/pts";

/* Unix98 pty slaves have the character device majors 136 to 143. */
int IsPtySlave(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

/* True when path is /sys/class/tty/pts/N and /dev/pts/N exists. */
static int IsPtySysfsEntry(const char *path) {
    if (path == NULL || strncmp(path, kSysfsPrefix, sizeof kSysfsPrefix - 1) != 0) return 0;
    const char *number = path + sizeof kSysfsPrefix - 1;
    size_t digits = 0;
    while (number[digits] >= '0' && number[digits] <= '9') digits++;
    if (digits == 0 || digits > 9 || number[digits] != '\0') return 0;
    char device[32];
    snprintf(device, sizeof device, "/dev/pts/%s", number);
    return access(device, F_OK) == 0;
}

static void FillSymlinkStat(struct stat *buf) {
    memset(buf, 0, sizeof *buf);
    buf->st_mode = S_IFLNK | 0777;
    buf->st_nlink = 1;
    buf->st_size = (off_t)(sizeof kLinkTarget - 1);
}

static void *Next(const char *name) { return dlsym(RTLD_NEXT, name); }

void *NextCached(void **slot, const char *name) {
    void *next = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (next == NULL) {
        next = Next(name);
        __atomic_store_n(slot, next, __ATOMIC_RELEASE);
    }
    return next;
}

int __lxstat(int version, const char *path, struct stat *buf) {
    if (IsPtySysfsEntry(path) && buf != NULL) {
        FillSymlinkStat(buf);
        return 0;
    }
    int (*next)(int, const char *, struct stat *) =
        (int (*)(int, const char *, struct stat *))Next("__lxstat");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return next(version, path, buf);
}

int __lxstat64(int version, const char *path, struct stat64 *buf) {
    if (IsPtySysfsEntry(path) && buf != NULL) {
        /* On 64-bit Linux struct stat64 and struct stat are the same. */
        FillSymlinkStat((struct stat *)buf);
        return 0;
    }
    int (*next)(int, const char *, struct stat64 *) =
        (int (*)(int, const char *, struct stat64 *))Next("__lxstat64");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return next(version, path, buf);
}

/* A libserialport built against a newer glibc calls lstat itself. */
int lstat(const char *restrict path, struct stat *restrict buf) {
    if (IsPtySysfsEntry(path)) {
        FillSymlinkStat(buf);
        return 0;
    }
    int (*next)(const char *, struct stat *) = (int (*)(const char *, struct stat *))Next("lstat");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return next(path, buf);
}

ssize_t readlink(const char *restrict path, char *restrict buf, size_t size) {
    if (IsPtySysfsEntry(path)) {
        /* Like readlink: no terminating zero, cut to the buffer. */
        size_t length = sizeof kLinkTarget - 1;
        if (length > size) length = size;
        memcpy(buf, kLinkTarget, length);
        return (ssize_t)length;
    }
    ssize_t (*next)(const char *, char *, size_t) =
        (ssize_t (*)(const char *, char *, size_t))Next("readlink");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return next(path, buf, size);
}

/* Modem lines of the pty slaves seen so far, by device number. A slave
 * starts with DTR and RTS raised, as a serial port does once opened. */
struct ModemLines {
    dev_t device;
    int bits;
};
static struct ModemLines lines[64];
static size_t lines_used = 0;

static int *LinesOf(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return NULL;
    for (size_t i = 0; i < lines_used; i++) {
        if (lines[i].device == st.st_rdev) return &lines[i].bits;
    }
    size_t slot = lines_used < sizeof lines / sizeof lines[0] ? lines_used++ : 0;
    lines[slot].device = st.st_rdev;
    lines[slot].bits = TIOCM_DTR | TIOCM_RTS;
    return &lines[slot].bits;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);

    if ((request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC) && IsPtySlave(fd)) {
        int *bits = LinesOf(fd);
        const int *value = (const int *)argument;
        if (bits == NULL || argument == NULL) {
            errno = EFAULT;
            return -1;
        }
        if (request == TIOCMGET) *(int *)argument = *bits;
        else if (request == TIOCMBIS) *bits |= *value;
        else *bits &= ~*value;
        return 0;
    }

    int (*next)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))Next("ioctl");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, argument);
}
