// The progress log: one number, the latest upload percentage, rewritten
// whole after every accepted record so the line's tooling can read it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "device_transfer.h"

extern FILE *flog;  // open only inside these calls

// Results of OpenLogProgress and WriteLogProgress.
constexpr int kLogWritten = 0;      // the file was opened (and the number written)
constexpr int kLogCannotOpen = -1;  // the file could not be opened
constexpr int kLogNotWritten = -2;  // the number did not reach the file (write or close failed)

int OpenLogProgress();  // empties the file
// Whether the log can be written, before an upload: kLogWritten, or
// kLogCannotOpen when it cannot be opened for writing. Creates a missing
// file but keeps what the file holds: a refused run must not wipe the log of
// a run that is going on.
int TestLogProgressWritable();
void CloseLogProgress();
int WriteLogProgress(signed char val);

// The share of part in whole, in percent, truncated toward zero: the number
// the log holds and the live line shows. 100 only when part reaches whole
// (also for an empty whole), so a map that grew while it was being sent
// never claims more.
signed char ProgressPercent(uint32_t part, uint32_t whole);

// The seconds an upload still takes at bytes_per_second (<= 0: not known),
// the pause after each record still to come included; -1 while not known.
// The live line shows it, and the station's web side.
double UploadSecondsLeft(const UploadProgress &progress, double bytes_per_second);
