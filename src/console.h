// The program's standard streams where the platforms differ: the buffering
// of standard output, and the terminal on standard error that the live
// progress line is drawn on.
#pragma once

#include <cstddef>
#include <string>

// The terminal controls the live line and the station's board are drawn
// with, as literals so that messages can be joined with them: erase the
// rest of the row, the rest of the screen.
#define CONSOLE_ERASE_ROW_END "\033[K"
#define CONSOLE_ERASE_BELOW "\033[J"
// Moves the cursor rows up.
inline std::string ConsoleRowsUp(int rows) { return "\033[" + std::to_string(rows) + "A"; }

// Standard output goes out a line at a time, also into a pipe or a file, so
// the line's tooling sees every line when it happens.
void MakeStdoutLineBuffered();

// Writes to standard error unbuffered, as much of it as can be written.
void WriteToStderr(const char *text, std::size_t length);

// True when standard error is a terminal that can take the live line: one
// that returns to the start of the row on "\r" and erases the rest of it on
// CONSOLE_ERASE_ROW_END.
bool StderrIsLiveTerminal();

// The width of the terminal on standard error, 0 when unknown.
int StderrColumns();

// From now on an interruption (Ctrl-C; on POSIX systems also SIGTERM) first
// writes notice, which must outlive the process, to standard error, then
// ends the process as it would have ended without this.
void WriteOnInterrupt(const char *notice);
