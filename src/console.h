// The program's standard streams where the platforms differ: the buffering
// of standard output, and the terminal on standard error that the live
// progress line is drawn on.
#pragma once

#include <cstddef>

// Standard output goes out a line at a time, also into a pipe or a file, so
// the line's tooling sees every line when it happens.
void MakeStdoutLineBuffered();

// Writes to standard error unbuffered, as much of it as can be written.
void WriteToStderr(const char *text, std::size_t length);

// True when standard error is a terminal that can take the live line: one
// that returns to the start of the row on "\r" and erases the rest of it on
// "\033[K".
bool StderrIsLiveTerminal();

// The width of the terminal on standard error, 0 when unknown.
int StderrColumns();

// From now on an interruption (Ctrl-C; on POSIX systems also SIGTERM) first
// writes notice, which must outlive the process, to standard error, then
// ends the process as it would have ended without this.
void WriteOnInterrupt(const char *notice);
