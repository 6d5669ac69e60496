/* The least a host can spend per byte when every byte goes out as the link
 * sends it: input flushed, wait for room (the select inside the library's
 * blocking write), one one-byte write, on a pseudo-terminal whose other end
 * a second process reads as fast as it can. Prints user+system CPU
 * microseconds per byte of the writing process, then the CPU microseconds of
 * one system call that does no work (the entry into the kernel and back,
 * which each of the three calls pays before it does anything).
 * Usage: pty_floor BYTES */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static double cpu_micros(void) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
           (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

int main(int argc, char **argv) {
    const long count = argc > 1 ? atol(argv[1]) : 200000;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 2;
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) return 2;
    struct termios raw;
    if (tcgetattr(slave, &raw) != 0) return 2;
    cfmakeraw(&raw);
    if (tcsetattr(slave, TCSANOW, &raw) != 0) return 2;

    const pid_t reader = fork();
    if (reader < 0) return 2;
    if (reader == 0) {
        char buffer[65536];
        for (long got = 0; got < count;) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) break;
            got += n;
        }
        _exit(0);
    }

    const char byte = 'x';
    for (long i = 0; i < count; i++) {
        tcflush(slave, TCIFLUSH);
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(slave, &writable);
        struct timeval limit = {0, 500000};
        if (select(slave + 1, NULL, &writable, NULL, &limit) < 0) return 3;
        while (write(slave, &byte, 1) != 1) {
        }
    }
    const double per_byte = cpu_micros() / (double)count;
    waitpid(reader, NULL, 0);

    const long null_calls = 1000000;
    const double before = cpu_micros();
    for (long i = 0; i < null_calls; i++) syscall(SYS_getppid);
    printf("%.3f %.3f\n", per_byte, (cpu_micros() - before) / (double)null_calls);
    return 0;
}
