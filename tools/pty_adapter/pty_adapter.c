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
 * Line rate, when PARDULO_PTY_PACE is set (and not "0"): a pty moves bytes
 * as fast as the reader takes them, and its drain returns while kilobytes
 * still wait for the reader, so a host's answer window would open long
 * before the device has read the message. With pacing, writes to a pty
 * slave leave no faster than a UART at the speed the host set would send
 * them (10 bits a byte), through an emulated transmit FIFO of
 * kTransmitFifo bytes: a write sleeps until the FIFO has room, also on a
 * non-blocking descriptor, and tcdrain waits until the last written byte
 * has left the line. An output flush empties the FIFO. Standard speeds
 * only (those tcsetattr takes); a pty whose speed was never set is not
 * paced.
 * A host that is descheduled in the middle of a message (a busy test
 * machine) would leave a line idle that a UART driver's transmit buffer
 * keeps busy. So a write that comes late is treated as a stall and keeps
 * the line's schedule, up to kDriverBuffer bytes behind; only after a
 * drain (the host waits on purpose) or a longer pause does the line count
 * as idle.
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
#include <termios.h>
#include <time.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

/* glibc's versioned stat entry points, which older binaries (libserialport
 * 0.1.1 among them) call instead of lstat. Newer headers do not declare them. */
int __lxstat(int version, const char *path, struct stat *buf);
int __lxstat64(int version, const char *path, struct stat64 *buf);

static const char kSysfsPrefix[] = "/sys/class/tty/pts/";
static const char kLinkTarget[] = "../../devices/virtual/tty/pts";

/* Unix98 pty slaves have the character device majors 136 to 143. */
static int IsPtySlave(int fd) {
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

/* The next definition of a call made once per byte, looked up once: a
 * lookup on every call would add to the host's cost per byte. */
static void *NextCached(void **slot, const char *name) {
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

/* ---- Line-rate pacing ---------------------------------------------------- */

/* Bytes a write may run ahead of the line: a classic UART's FIFO is 16, a
 * USB adapter's a few hundred. 64 bytes (5.6 ms at 115200) absorbs the
 * wake-up latency of a busy machine, so the line stays busy between the
 * host's one-byte writes, while the device never sees a byte much earlier
 * than a real line would deliver it. */
enum { kTransmitFifo = 64, kDriverBuffer = 4096 };
static const int64_t kNanosPerSecond = 1000000000;

/* One paced pty slave descriptor: its speed and when its line is free. */
struct PacedLine {
    int fd;
    dev_t device;
    int64_t bytes_per_10s; /* baud: ten bits a byte, so bytes per ten seconds */
    int64_t free_at_ns;    /* CLOCK_MONOTONIC time the last written byte leaves */
    int64_t remainder;     /* of free_at_ns's division, so the rate stays exact */
    int drained;           /* the host waited for the line since its last write */
};
static struct PacedLine paced[64];
static size_t paced_used = 0;
static pthread_mutex_t paced_lock = PTHREAD_MUTEX_INITIALIZER;
static int pacing = -1; /* -1: not looked up yet */

static int PacingWanted(void) {
    int wanted = __atomic_load_n(&pacing, __ATOMIC_RELAXED);
    if (wanted < 0) {
        const char *value = getenv("PARDULO_PTY_PACE");
        wanted = value != NULL && *value != '\0' && strcmp(value, "0") != 0;
        __atomic_store_n(&pacing, wanted, __ATOMIC_RELAXED);
    }
    return wanted;
}

static int64_t NowNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * kNanosPerSecond + now.tv_nsec;
}

static void SleepUntilNs(int64_t deadline) {
    struct timespec at = {(time_t)(deadline / kNanosPerSecond), (long)(deadline % kNanosPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) == EINTR) {
    }
}

static int64_t BaudOf(speed_t speed) {
    static const struct {
        speed_t code;
        int64_t baud;
    } kSpeeds[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
                   {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
                   {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
                   {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
                   {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
    for (size_t i = 0; i < sizeof kSpeeds / sizeof kSpeeds[0]; i++)
        if (kSpeeds[i].code == speed) return kSpeeds[i].baud;
    return 0;
}

/* The entry of fd, or NULL. Called with paced_lock held. An entry whose
 * descriptor now names another file is stale (closed behind our back). */
static struct PacedLine *PacedLineOf(int fd) {
    for (size_t i = 0; i < paced_used; i++) {
        if (paced[i].fd != fd) continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_rdev == paced[i].device) return &paced[i];
        paced[i] = paced[--paced_used];
        return NULL;
    }
    return NULL;
}

static void ForgetLine(int fd) {
    for (size_t i = 0; i < paced_used; i++) {
        if (paced[i].fd == fd) {
            paced[i] = paced[--paced_used];
            return;
        }
    }
}

/* Remembers the speed a pty slave was set to (0 stops its pacing). */
static void SetLineSpeed(int fd, const struct termios *settings) {
    if (!PacingWanted() || settings == NULL || !IsPtySlave(fd)) return;
    struct stat st;
    if (fstat(fd, &st) != 0) return;
    const int64_t baud = BaudOf(cfgetospeed(settings));
    pthread_mutex_lock(&paced_lock);
    struct PacedLine *line = PacedLineOf(fd);
    if (line == NULL && baud > 0 && paced_used < sizeof paced / sizeof paced[0]) {
        line = &paced[paced_used++];
        memset(line, 0, sizeof *line);
        line->fd = fd;
        line->device = st.st_rdev;
    }
    if (line != NULL) {
        if (baud > 0) line->bytes_per_10s = baud;
        else ForgetLine(fd);
    }
    pthread_mutex_unlock(&paced_lock);
}

/* Books count bytes on fd's line and returns when the first may be handed
 * over (0: now), or -1 when fd is not paced. */
static int64_t BookBytes(int fd, size_t count) {
    int64_t start = -1;
    pthread_mutex_lock(&paced_lock);
    struct PacedLine *line = PacedLineOf(fd);
    if (line != NULL) {
        const int64_t now = NowNs();
        const int64_t byte_ns = 10 * kNanosPerSecond / line->bytes_per_10s;
        const int stalled = !line->drained && now - line->free_at_ns < kDriverBuffer * byte_ns;
        if (line->free_at_ns < now && !stalled) { /* the line went idle */
            line->free_at_ns = now;
            line->remainder = 0;
        }
        line->drained = 0;
        /* Room for count bytes in the FIFO once it holds kTransmitFifo - count. */
        start = line->free_at_ns - (int64_t)(kTransmitFifo - count) * byte_ns;
        const int64_t total = (int64_t)count * 10 * kNanosPerSecond + line->remainder;
        line->free_at_ns += total / line->bytes_per_10s;
        line->remainder = total % line->bytes_per_10s;
    }
    pthread_mutex_unlock(&paced_lock);
    return start;
}

static int64_t LineFreeAt(int fd) {
    int64_t free_at = -1;
    pthread_mutex_lock(&paced_lock);
    struct PacedLine *line = PacedLineOf(fd);
    if (line != NULL) free_at = line->free_at_ns;
    pthread_mutex_unlock(&paced_lock);
    return free_at;
}

static void MarkDrained(int fd) {
    pthread_mutex_lock(&paced_lock);
    struct PacedLine *line = PacedLineOf(fd);
    if (line != NULL) line->drained = 1;
    pthread_mutex_unlock(&paced_lock);
}

static void EmptyFifo(int fd) {
    pthread_mutex_lock(&paced_lock);
    struct PacedLine *line = PacedLineOf(fd);
    if (line != NULL) {
        line->free_at_ns = NowNs();
        line->remainder = 0;
    }
    pthread_mutex_unlock(&paced_lock);
}

ssize_t write(int fd, const void *buffer, size_t count) {
    static void *slot;
    ssize_t (*next)(int, const void *, size_t) = (ssize_t (*)(int, const void *, size_t))NextCached(&slot, "write");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    if (!PacingWanted() || __atomic_load_n(&paced_used, __ATOMIC_RELAXED) == 0) return next(fd, buffer, count);
    /* A paced write goes out in pieces no larger than the FIFO, each once
     * the FIFO has room for it, as a UART's driver hands bytes over. */
    const char *bytes = (const char *)buffer;
    size_t done = 0;
    while (done < count) {
        const size_t piece = count - done < kTransmitFifo ? count - done : kTransmitFifo;
        const int64_t start = BookBytes(fd, piece);
        if (start < 0) return done > 0 ? (ssize_t)done : next(fd, buffer, count);
        if (start > NowNs()) SleepUntilNs(start);
        const ssize_t n = next(fd, bytes + done, piece);
        if (n < 0) {
            EmptyFifo(fd); /* nothing went out; what was booked is void */
            return done > 0 ? (ssize_t)done : n;
        }
        done += (size_t)n;
        if ((size_t)n < piece) break;
    }
    return (ssize_t)done;
}

int tcdrain(int fd) {
    static void *slot;
    int (*next)(int) = (int (*)(int))NextCached(&slot, "tcdrain");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int result = next(fd);
    if (result == 0 && PacingWanted()) {
        const int64_t free_at = LineFreeAt(fd);
        if (free_at > NowNs()) SleepUntilNs(free_at);
        MarkDrained(fd);
    }
    return result;
}

int tcflush(int fd, int queue) {
    static void *slot;
    int (*next)(int, int) = (int (*)(int, int))NextCached(&slot, "tcflush");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int result = next(fd, queue);
    if (result == 0 && PacingWanted() && (queue == TCOFLUSH || queue == TCIOFLUSH)) EmptyFifo(fd);
    return result;
}

int tcsetattr(int fd, int when, const struct termios *settings) {
    int (*next)(int, int, const struct termios *) =
        (int (*)(int, int, const struct termios *))Next("tcsetattr");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int result = next(fd, when, settings);
    if (result == 0) SetLineSpeed(fd, settings);
    return result;
}

int close(int fd) {
    static void *slot;
    int (*next)(int) = (int (*)(int))NextCached(&slot, "close");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    if (PacingWanted()) {
        pthread_mutex_lock(&paced_lock);
        ForgetLine(fd);
        pthread_mutex_unlock(&paced_lock);
    }
    return next(fd);
}
