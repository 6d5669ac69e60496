// How a person or the system asks the station to stop: SIGINT and SIGTERM
// on POSIX systems; on Windows the console's Ctrl-C and Ctrl-Break, its
// window being closed, and the user's log-off or the system's shut-down.
// None of them ends the station at once: each asks it to stop, and it ends
// once the uploads under way have sent their exit command and their records
// are written.
#pragma once

// From now on the requests above are caught rather than ending the process.
void CatchStopRequests();

// True once one of them came.
bool StopRequested();
// How many came so far (a second one gives up on what the first let finish).
unsigned StopRequestCount();
