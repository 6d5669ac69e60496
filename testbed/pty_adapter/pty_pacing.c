/*
 * Line-rate pacing of the pty adapter, when PARDULO_PTY_PACE is set (and
 * not "0").
 *
 * A pty moves bytes as fast as the reader takes them, and its drain returns
 * while kilobytes still wait for the reader, so a host's answer window would
 * open long before the device has read the message. With pacing, a pty slave
 * whose speed the host set (tcsetattr; standard speeds only, 10 bits a byte)
 * behaves like a UART behind Linux's tty layer:
 *
 *   - The driver buffer. A write goes into an emulated transmit buffer of
 *     kDriverBuffer bytes and returns at once while it fits. A writer that
 *     finds the buffer full sleeps until the line has drained it below
 *     kWakeupBelow bytes, as the tty layer wakes a blocked writer, so a
 *     host writing byte by byte sleeps once every few kilobytes instead of
 *     once a byte. It sleeps on a non-blocking descriptor too: the pty
 *     itself reports room the emulated buffer does not have, and a caller
 *     that waits for room with select would spin.
 *   - The line. One pacer thread per process hands the bytes to the pty once
 *     they have crossed the line, kReceiveFifo at a time (what the far end's
 *     UART collects before its reader sees them), so the device reads them
 *     at the line's pace, never earlier.
 *   - Room to write is the driver buffer's: select (libserialport's wait for
 *     room) reports a paced descriptor writable while the buffer has room,
 *     whatever the pty holds.
 *   - A reader slower than the line (the pty is full) does not hold the host
 *     up, as it could not on a UART: what crossed the line waits in a
 *     backlog of up to kBacklog bytes for the reader to take it. Only a
 *     reader a whole backlog behind holds the writer up, as a full pty would
 *     (EAGAIN on a non-blocking descriptor, and select waits on the pty).
 *   - The drain waits until the last byte has crossed the line and is in the
 *     pty, so the answer window opens as on a UART. When the reader is
 *     behind, it returns once the line time has passed; the pacer goes on
 *     handing the backlog over as the reader takes it.
 *   - A close, and exit(), wait until the reader has taken everything too,
 *     at most closing_wait (30 s, the tty layer's default), so that no byte
 *     is lost and none overtakes another when the port is opened again; a
 *     process killed by a signal loses what it buffered.
 *   - An output flush drops what has not gone into the pty yet.
 *   - A host descheduled in the middle of a message (a busy test machine)
 *     would leave a line idle that a real host would have kept busy. So a
 *     write that comes late is treated as a stall and keeps the line's
 *     schedule, up to kDriverBuffer bytes behind; only after a drain (the
 *     host waits on purpose) or a longer pause does the line count as idle.
 *   - A pty that fails (its reader hung up) stops being paced; its buffered
 *     bytes are dropped and the host's next call meets the pty's own error.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "pty_adapter.h"

enum {
    /* Linux's serial core buffers a page of output per port and wakes a
     * blocked writer once fewer than WAKEUP_CHARS (256) bytes are left. */
    kDriverBuffer = 4096,
    kWakeupBelow = 256,
    /* Bytes handed to the pty at once: a UART's receive FIFO. At 115200
     * baud the pacer wakes every 1.4 ms per line instead of every 87 us. */
    kReceiveFifo = 16,
    /* What crossed the line while the reader was behind, beside the
     * driver buffer: a 64 KiB record's worth. */
    kBacklog = 65536,
    kQueueSize = kDriverBuffer + kBacklog,
    kMaxLines = 64,
};
static const int64_t kNanosPerSecond = 1000000000;
static const int64_t kTenSecondsNs = 10000000000; /* a byte is 10 bits: bytes per 10 s = baud */
static const int64_t kClosingWaitNs = 30000000000;

/* One paced pty slave descriptor. Slots never move, so the pacer may keep
 * a pointer to one while it writes without the lock. */
struct PacedLine {
    int in_use;
    int fd;
    dev_t device;
    int64_t baud;
    int64_t free_at_ns; /* CLOCK_MONOTONIC time the last buffered byte has crossed the line */
    int64_t remainder;  /* of free_at_ns's division, so the rate stays exact */
    int idle;           /* nothing written since the host drained or flushed: the next write starts afresh */
    int handing;        /* the pacer is writing this line's bytes into the pty */
    int refused;        /* the pty took less than offered: its reader is behind */
    int64_t retry_at_ns;
    size_t head, count; /* not yet in the pty: queue[head], count of them, wrapping */
    unsigned char queue[kQueueSize];
};

static struct PacedLine lines[kMaxLines];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t work = PTHREAD_COND_INITIALIZER; /* the pacer: a buffer got bytes */
static pthread_cond_t room = PTHREAD_COND_INITIALIZER; /* writers, drains: bytes left a buffer */
static int pacer_running = 0;
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

static struct timespec TimespecOf(int64_t ns) {
    struct timespec at = {(time_t)(ns / kNanosPerSecond), (long)(ns % kNanosPerSecond)};
    return at;
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

/* True when fd may be paced, looked at without the lock, so that writes to
 * other descriptors (a signal handler's to standard error among them) never
 * wait for it. */
static int MaybePaced(int fd) {
    if (fd < 0 || !PacingWanted()) return 0;
    for (size_t i = 0; i < kMaxLines; i++)
        if (__atomic_load_n(&lines[i].in_use, __ATOMIC_ACQUIRE) && lines[i].fd == fd) return 1;
    return 0;
}

/* The line of fd, or NULL. Called with the lock held. */
static struct PacedLine *LineOf(int fd) {
    for (size_t i = 0; i < kMaxLines; i++)
        if (lines[i].in_use && lines[i].fd == fd) return &lines[i];
    return NULL;
}

static void FreeLine(struct PacedLine *line) {
    line->count = 0;
    __atomic_store_n(&line->in_use, 0, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&room);
}

/* False when fd no longer names the pty device (closed behind our back, its
 * number taken by another file). */
static int SameDevice(int fd, dev_t device) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device;
}

/* Bytes still on their way over the line at now: ceil((free_at - now) / byte). */
static size_t OnTheLine(const struct PacedLine *line, int64_t now) {
    if (line->free_at_ns <= now) return 0;
    const int64_t bits = (line->free_at_ns - now) * line->baud;
    return (size_t)((bits + kTenSecondsNs - 1) / kTenSecondsNs);
}

/* When the oldest `want` buffered bytes will have crossed the line. */
static int64_t CrossedAt(const struct PacedLine *line, size_t want) {
    return line->free_at_ns - (int64_t)(line->count - want) * kTenSecondsNs / line->baud;
}

typedef ssize_t (*WriteCall)(int, const void *, size_t);
static WriteCall NextWrite(void) {
    static void *slot;
    return (WriteCall)NextCached(&slot, "write");
}

/* When line has room for a write: now while the driver buffer is not full,
 * else once the line has drained it below the watermark; -1 while the
 * reader is a whole backlog behind (the pty's own room decides then). */
static int64_t RoomAt(const struct PacedLine *line, int64_t now) {
    if (line->count >= kQueueSize) return -1;
    if (OnTheLine(line, now) < kDriverBuffer) return now;
    return CrossedAt(line, line->count - (kWakeupBelow - 1));
}

/* The queue is a ring of kQueueSize bytes from head: a run of bytes in it
 * is at most two pieces, before and after its end. */

/* Puts count bytes after those queued (they fit). */
static void QueueBytes(struct PacedLine *line, const unsigned char *bytes, size_t count) {
    const size_t tail = (line->head + line->count) % kQueueSize;
    const size_t first = count < kQueueSize - tail ? count : kQueueSize - tail;
    memcpy(line->queue + tail, bytes, first);
    memcpy(line->queue, bytes + first, count - first);
}

/* Copies the oldest count queued bytes to out. */
static void CopyQueued(const struct PacedLine *line, size_t count, unsigned char *out) {
    const size_t first = count < kQueueSize - line->head ? count : kQueueSize - line->head;
    memcpy(out, line->queue + line->head, first);
    memcpy(out + first, line->queue, count - first);
}

/* ---- the pacer: the line itself -------------------------------------------- */

static unsigned char handover[kQueueSize]; /* the pacer's; one pacer per process */

/* Writes the bytes of line that have crossed the line into its pty. Called
 * with the lock held; releases it for the write. */
static void HandOver(struct PacedLine *line, int64_t now) {
    const size_t on_line = OnTheLine(line, now);
    const size_t due = line->count > on_line ? line->count - on_line : 0;
    CopyQueued(line, due, handover);
    const int fd = line->fd;
    const dev_t device = line->device;
    line->handing = 1;
    pthread_mutex_unlock(&lock);
    const WriteCall next = NextWrite();
    ssize_t written = -1;
    int error = ENOSYS;
    if (!SameDevice(fd, device)) error = EBADF;
    else if (next != NULL) {
        written = next(fd, handover, due);
        error = errno;
    }
    pthread_mutex_lock(&lock);
    line->handing = 0;
    const size_t before = line->count;
    if (written >= 0) {
        /* A flush while the bytes were being written has already emptied
         * the buffer; what it holds now is newer. */
        const size_t taken = (size_t)written < line->count ? (size_t)written : line->count;
        line->head = (line->head + taken) % kQueueSize;
        line->count -= taken;
        line->refused = (size_t)written < due;
    } else if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
        line->refused = error != EINTR;
    } else {
        FreeLine(line); /* the pty is gone or broken; its own calls say so */
        return;
    }
    if (line->refused) line->retry_at_ns = now + kReceiveFifo * kTenSecondsNs / line->baud;
    /* Woken are a drain once everything is in the pty, and drains and
     * writers waiting for the reader while it is behind. */
    if (line->count == 0 || line->refused || before > kDriverBuffer) pthread_cond_broadcast(&room);
}

static void *Pace(void *unused) {
    (void)unused;
    pthread_mutex_lock(&lock);
    for (;;) {
        const int64_t now = NowNs();
        int64_t wake = INT64_MAX;
        struct PacedLine *ready = NULL;
        for (size_t i = 0; i < kMaxLines && ready == NULL; i++) {
            struct PacedLine *line = &lines[i];
            if (!line->in_use || line->count == 0 || line->handing) continue;
            int64_t at = CrossedAt(line, line->count < kReceiveFifo ? line->count : kReceiveFifo);
            if (line->refused && line->retry_at_ns > at) at = line->retry_at_ns;
            if (at <= now) ready = line;
            else if (at < wake) wake = at;
        }
        if (ready != NULL) {
            HandOver(ready, now);
        } else if (wake == INT64_MAX) {
            pthread_cond_wait(&work, &lock);
        } else {
            const struct timespec at = TimespecOf(wake);
            pthread_cond_clockwait(&work, &lock, CLOCK_MONOTONIC, &at);
        }
    }
    return NULL;
}

/* Starts the pacer once per process. Called with the lock held. Every
 * signal stays blocked in it, so that the host's handlers run on the host's
 * own thread and interrupt its calls as they would without the adapter. */
static int StartPacer(void) {
    if (pacer_running) return 1;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t pacer;
    pacer_running = pthread_create(&pacer, &attributes, Pace, NULL) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, NULL);
    return pacer_running;
}

/* ---- the host's side ----------------------------------------------------------- */

/* Puts count bytes into line's buffer (they fit) and books their line time. */
static void Buffer(struct PacedLine *line, const unsigned char *bytes, size_t count) {
    const int64_t now = NowNs();
    if (line->free_at_ns < now) {
        const int stalled = !line->idle && now - line->free_at_ns < kDriverBuffer * kTenSecondsNs / line->baud;
        if (!stalled) { /* the line went idle */
            line->free_at_ns = now;
            line->remainder = 0;
        }
    }
    line->idle = 0;
    if (line->count == 0) pthread_cond_signal(&work);
    QueueBytes(line, bytes, count);
    line->count += count;
    const int64_t total = (int64_t)count * kTenSecondsNs + line->remainder;
    line->free_at_ns += total / line->baud;
    line->remainder = total % line->baud;
}

/* Waits, with the lock held, until everything written to fd has crossed
 * the line and is in the pty. While the reader is behind, it returns once
 * the line time has passed and give_up_ns has come (a drain gives up at
 * once, a close after closing_wait). */
static void WaitForLine(int fd, int64_t give_up_ns) {
    for (;;) {
        struct PacedLine *line = LineOf(fd);
        if (line == NULL) return;
        if (line->count == 0 && !line->handing) return;
        const int64_t now = NowNs();
        if (line->refused && !line->handing && now >= line->free_at_ns && now >= give_up_ns) return;
        pthread_cond_wait(&room, &lock);
    }
}

/* A paced write: whatever fits the driver buffer at once, then, each time
 * it is full, a sleep until the line has drained it below the watermark.
 * Returns -1 (errno EAGAIN) only on a non-blocking descriptor whose reader
 * is a whole backlog behind, as a full pty would. */
static ssize_t PacedWrite(int fd, const unsigned char *bytes, size_t count, WriteCall next) {
    size_t done = 0;
    int would_block = 0;
    pthread_mutex_lock(&lock);
    while (done < count) {
        struct PacedLine *line = LineOf(fd);
        if (line == NULL) break; /* no longer paced: the rest goes straight */
        if (line->count == 0 && !line->handing && !SameDevice(fd, line->device)) {
            FreeLine(line);
            break;
        }
        if (!StartPacer()) break;
        if (line->count >= kQueueSize) { /* the reader is a whole backlog behind */
            if ((fcntl(fd, F_GETFL) & O_NONBLOCK) != 0) {
                would_block = 1;
                break;
            }
            pthread_cond_wait(&room, &lock);
            continue;
        }
        const int64_t now = NowNs();
        const size_t on_line = OnTheLine(line, now);
        if (on_line >= kDriverBuffer) {
            const struct timespec at = TimespecOf(RoomAt(line, now));
            pthread_mutex_unlock(&lock);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) == EINTR) {
            }
            pthread_mutex_lock(&lock);
            continue;
        }
        size_t piece = count - done;
        if (piece > kDriverBuffer - on_line) piece = kDriverBuffer - on_line;
        if (piece > kQueueSize - line->count) piece = kQueueSize - line->count;
        Buffer(line, bytes + done, piece);
        done += piece;
    }
    pthread_mutex_unlock(&lock);
    if (done == count) return (ssize_t)done;
    if (would_block) {
        if (done > 0) return (ssize_t)done;
        errno = EAGAIN;
        return -1;
    }
    const ssize_t rest = next(fd, bytes + done, count - done);
    if (rest < 0) return done > 0 ? (ssize_t)done : rest;
    return (ssize_t)(done + (size_t)rest);
}

/* Remembers the speed a pty slave was set to (a speed outside the table, or
 * B0, stops its pacing). */
static void SetLineSpeed(int fd, const struct termios *settings) {
    if (!PacingWanted() || settings == NULL || !IsPtySlave(fd)) return;
    struct stat st;
    if (fstat(fd, &st) != 0) return;
    const int64_t baud = BaudOf(cfgetospeed(settings));
    pthread_mutex_lock(&lock);
    struct PacedLine *line = LineOf(fd);
    if (line != NULL && line->device != st.st_rdev) { /* a stale entry: its bytes can go nowhere */
        FreeLine(line);
        line = NULL;
    }
    if (line == NULL && baud > 0) {
        for (size_t i = 0; i < kMaxLines && line == NULL; i++)
            if (!lines[i].in_use && !lines[i].handing) line = &lines[i];
        if (line != NULL) {
            line->fd = fd;
            line->device = st.st_rdev;
            line->free_at_ns = NowNs();
            line->remainder = 0;
            line->idle = 1;
            line->refused = 0;
            line->head = line->count = 0;
            __atomic_store_n(&line->in_use, 1, __ATOMIC_RELEASE);
        }
    }
    if (line != NULL) {
        if (baud > 0) line->baud = baud;
        else { /* what was written goes out at the speed it was written at */
            WaitForLine(fd, 0);
            if ((line = LineOf(fd)) != NULL) FreeLine(line);
        }
    }
    pthread_mutex_unlock(&lock);
}

/* Sorts the paced descriptors of writefds (below nfds) by when they have
 * room: into ready (now) and later (at the returned time, or INT64_MAX when
 * none); those whose reader is a whole backlog behind are in neither. */
static int64_t PacedRoom(int nfds, const fd_set *writefds, int64_t now, fd_set *ready, fd_set *later) {
    int64_t wake = INT64_MAX;
    FD_ZERO(ready);
    FD_ZERO(later);
    pthread_mutex_lock(&lock);
    for (size_t i = 0; i < kMaxLines; i++) {
        const struct PacedLine *line = &lines[i];
        if (!line->in_use || line->fd >= nfds || line->fd >= FD_SETSIZE || !FD_ISSET(line->fd, writefds)) continue;
        const int64_t at = RoomAt(line, now);
        if (at < 0) continue;
        if (at <= now) FD_SET(line->fd, ready);
        else {
            FD_SET(line->fd, later);
            if (at < wake) wake = at;
        }
    }
    pthread_mutex_unlock(&lock);
    return wake;
}

/* How many descriptors below nfds set holds (0 for a NULL set), after those
 * of `from` are put into it (into) or taken out of it (!into). */
static int CountSet(int nfds, fd_set *set, const fd_set *from, int into) {
    int count = 0;
    if (set == NULL) return 0;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; fd++) {
        if (from != NULL && FD_ISSET(fd, from)) {
            if (into) FD_SET(fd, set);
            else FD_CLR(fd, set);
        }
        count += FD_ISSET(fd, set) != 0;
    }
    return count;
}

static struct timeval TimevalOf(int64_t ns) {
    struct timeval tv = {(time_t)(ns / kNanosPerSecond), (suseconds_t)(ns % kNanosPerSecond / 1000)};
    return tv;
}

/* A drain or flush that fails with a hung-up or removed pty's error ends
 * fd's pacing: its buffered bytes can go nowhere, and the host's next calls
 * meet the pty's own errors at once. */
static void ForgetIfBroken(int fd) {
    const int error = errno;
    if ((error == EIO || error == ENXIO || error == ENODEV) && MaybePaced(fd)) {
        pthread_mutex_lock(&lock);
        struct PacedLine *line = LineOf(fd);
        if (line != NULL) FreeLine(line); /* a hand-over under way meets the same error */
        pthread_mutex_unlock(&lock);
    }
    errno = error;
}

/* ---- the calls the adapter answers ----------------------------------------------- */

ssize_t write(int fd, const void *buffer, size_t count) {
    const WriteCall next = NextWrite();
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    if (!MaybePaced(fd)) return next(fd, buffer, count);
    return PacedWrite(fd, (const unsigned char *)buffer, count, next);
}

/* A paced descriptor's room to write is its driver buffer's: ready now
 * while the buffer is not full, else once the line has drained it below the
 * watermark, so that a host waiting for room before each byte (libserialport)
 * sleeps as seldom as a plain writer does. The other descriptors are looked
 * at by the system's select meanwhile. */
int select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, struct timeval *timeout) {
    static void *slot;
    int (*next)(int, fd_set *, fd_set *, fd_set *, struct timeval *) =
        (int (*)(int, fd_set *, fd_set *, fd_set *, struct timeval *))NextCached(&slot, "select");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    int paced = 0;
    if (writefds != NULL)
        for (int fd = 0; fd < nfds && fd < FD_SETSIZE && !paced; fd++) paced = FD_ISSET(fd, writefds) && MaybePaced(fd);
    if (!paced) return next(nfds, readfds, writefds, exceptfds, timeout);

    const int64_t now = NowNs();
    fd_set ready, later;
    const int64_t wake = PacedRoom(nfds, writefds, now, &ready, &later);
    const int ready_count = CountSet(nfds, &ready, NULL, 0);
    if (ready_count == 0 && wake == INT64_MAX) return next(nfds, readfds, writefds, exceptfds, timeout);
    CountSet(nfds, writefds, &ready, 0);
    CountSet(nfds, writefds, &later, 0);

    /* Wait no longer than the caller asked, nor past the first room. */
    int64_t wait_ns = ready_count > 0 ? 0 : wake - now;
    const int64_t asked_ns = timeout == NULL ? INT64_MAX
                                             : (int64_t)timeout->tv_sec * kNanosPerSecond + timeout->tv_usec * 1000;
    if (asked_ns < wait_ns) wait_ns = asked_ns;
    struct timeval wait = TimevalOf(wait_ns);
    int others = 0;
    if (CountSet(nfds, readfds, NULL, 0) + CountSet(nfds, writefds, NULL, 0) + CountSet(nfds, exceptfds, NULL, 0) > 0) {
        others = next(nfds, readfds, writefds, exceptfds, &wait);
    } else if (wait_ns > 0) {
        const struct timespec pause = {(time_t)(wait_ns / kNanosPerSecond), (long)(wait_ns % kNanosPerSecond)};
        others = nanosleep(&pause, NULL); /* -1 EINTR on a signal, as select */
    }
    if (others < 0) return others;
    if (ready_count > 0) {
        CountSet(nfds, writefds, &ready, 1);
        return others + ready_count;
    }
    if (others > 0) return others;
    /* The wait ended: those whose room has come are ready. One whose line
     * was dropped meanwhile (its pty failed) is the system's to judge, at
     * once: a hung-up pty is writable, and the host's write then meets its
     * error. Reported as not ready, it would look like a write that timed
     * out, and a pulled adapter like a slow one. */
    const fd_set waited = later;
    PacedRoom(nfds, &waited, NowNs(), &ready, &later);
    fd_set unpaced;
    FD_ZERO(&unpaced);
    int unpaced_count = 0;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; fd++) {
        if (FD_ISSET(fd, &waited) && !MaybePaced(fd)) {
            FD_SET(fd, &unpaced);
            unpaced_count++;
        }
    }
    struct timeval now_only = {0, 0};
    if (unpaced_count > 0 && next(nfds, NULL, &unpaced, NULL, &now_only) > 0) CountSet(nfds, &ready, &unpaced, 1);
    return CountSet(nfds, writefds, &ready, 1);
}

int tcdrain(int fd) {
    static void *slot;
    int (*next)(int) = (int (*)(int))NextCached(&slot, "tcdrain");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int result = next(fd);
    if (result != 0) ForgetIfBroken(fd);
    else if (MaybePaced(fd)) {
        pthread_mutex_lock(&lock);
        WaitForLine(fd, 0);
        struct PacedLine *line = LineOf(fd);
        if (line != NULL) line->idle = 1;
        pthread_mutex_unlock(&lock);
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
    if (result != 0) ForgetIfBroken(fd);
    else if ((queue == TCOFLUSH || queue == TCIOFLUSH) && MaybePaced(fd)) {
        pthread_mutex_lock(&lock);
        struct PacedLine *line = LineOf(fd);
        if (line != NULL) {
            line->count = 0;
            line->free_at_ns = NowNs();
            line->remainder = 0;
            line->idle = 1;
            pthread_cond_broadcast(&room);
        }
        pthread_mutex_unlock(&lock);
    }
    return result;
}

int tcsetattr(int fd, int when, const struct termios *settings) {
    static void *slot;
    int (*next)(int, int, const struct termios *) =
        (int (*)(int, int, const struct termios *))NextCached(&slot, "tcsetattr");
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
    if (MaybePaced(fd)) {
        pthread_mutex_lock(&lock);
        WaitForLine(fd, NowNs() + kClosingWaitNs);
        struct PacedLine *line = LineOf(fd);
        if (line != NULL) FreeLine(line);
        pthread_mutex_unlock(&lock);
    }
    return next(fd);
}

/* ---- the process around it ------------------------------------------------------- */

/* A child of fork has no pacer; the parent's goes on handing over what was
 * buffered before, so the child starts with empty buffers. */
static void BeforeFork(void) { pthread_mutex_lock(&lock); }
static void AfterForkInParent(void) { pthread_mutex_unlock(&lock); }
static void AfterForkInChild(void) {
    pthread_mutex_init(&lock, NULL);
    pthread_cond_init(&work, NULL);
    pthread_cond_init(&room, NULL);
    pacer_running = 0;
    for (size_t i = 0; i < kMaxLines; i++) {
        lines[i].count = 0;
        lines[i].handing = 0;
    }
}

__attribute__((constructor)) static void SetUpPacing(void) {
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
}

/* exit() lets the buffered bytes go out first, as closing the ports would. */
__attribute__((destructor)) static void FinishLines(void) {
    if (!PacingWanted()) return;
    const int64_t give_up = NowNs() + kClosingWaitNs;
    pthread_mutex_lock(&lock);
    for (size_t i = 0; i < kMaxLines; i++)
        if (lines[i].in_use) WaitForLine(lines[i].fd, give_up);
    pthread_mutex_unlock(&lock);
}
