// The progress log: one number, the latest upload percentage, rewritten
// whole after every accepted record so the line's tooling can read it.
#pragma once

#include <cstdio>

extern FILE *flog;  // open only inside these calls

int OpenLogProgress();          // 0, or -1 when the file cannot be opened (empties the file)
// Whether the log can be written, before an upload: 0, or -1 when it cannot
// be opened for writing. Creates a missing file but keeps what the file
// holds: a refused run must not wipe the log of a run that is going on.
int TestLogProgressWritable();
void CloseLogProgress();
int WriteLogProgress(signed char val);  // 0, -1 (open), -2 (write or close)
