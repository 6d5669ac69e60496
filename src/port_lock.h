// One process per port: the serial link takes the open port for itself so
// that a second run of the program (or anything else that honours the
// lock) is refused at opening, instead of two processes interleaving their
// bytes on one line.
//
// Two locks on the port's file descriptor:
//  - an advisory lock (flock), which every run of this program takes; it is
//    tied to the open port and dropped by the kernel when the port is
//    closed or the process ends, however it ends;
//  - the terminal's exclusive mode (TIOCEXCL), which makes the kernel refuse
//    any further open of the terminal, by any program, with EBUSY. Processes
//    with CAP_SYS_ADMIN (root) pass it, so for them the advisory lock is the
//    one that counts. On a pseudo-terminal the mode outlives the closing of
//    the slave while the master stays open, which is why it is released
//    explicitly (UnlockPort, and once more at exit).
#pragma once

// Results of LockOpenPort.
constexpr int kPortLocked = 0;     // the port is this process's alone
constexpr int kPortNotLocked = -1; // errno says why: EWOULDBLOCK when another process holds the lock

// Locks the open port fd. A descriptor that is not a terminal gets the
// advisory lock only.
int LockOpenPort(int fd);

// Releases both locks; to be called before the port is closed. Does nothing
// for a negative fd. A port still locked when the process exits (modes that
// never close the port) is released by an exit handler.
void UnlockPort(int fd);
