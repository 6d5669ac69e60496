// The progress log: one number, the latest upload percentage, rewritten
// whole after every accepted record so the line's tooling can read it.
#pragma once

#include <cstdio>

extern FILE *flog;  // open only inside these calls

int OpenLogProgress();          // 0, or -1 when the file cannot be opened
void CloseLogProgress();
int WriteLogProgress(signed char val);  // 0, -1 (open), -2 (write or close)
