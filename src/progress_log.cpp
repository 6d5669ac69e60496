#include "progress_log.h"

#include <cmath>
#include <cstdio>

#include "globals.h"

FILE *flog = nullptr;

int OpenLogProgress() {
    // "wb+" empties the file: it never holds more than the latest value.
    flog = fopen(LOG_FILE, "wb+");
    return flog == nullptr ? kLogCannotOpen : kLogWritten;
}

int TestLogProgressWritable() {
    // Appending never truncates; read access too, so that a FIFO named like
    // the log does not block the open waiting for a reader.
    FILE *probe = fopen(LOG_FILE, "ab+");
    if (probe == nullptr) return kLogCannotOpen;
    fclose(probe);
    return kLogWritten;
}

void CloseLogProgress() {
    if (flog == nullptr) return;
    fclose(flog);
    flog = nullptr;
}

int WriteLogProgress(signed char val) {
    if (OpenLogProgress() != kLogWritten) return kLogCannotOpen;

    const int written = fprintf(flog, "%d", static_cast<int>(val));

    // The number is buffered until the close, so a full disk or an I/O error
    // may only show there: the close decides as much as the print.
    const int closed = fclose(flog);
    flog = nullptr;
    if (written <= 0 || closed != 0) return kLogNotWritten;
    return kLogWritten;
}

signed char ProgressPercent(uint32_t part, uint32_t whole) {
    if (whole == 0 || part >= whole) return 100;
    // In floating point, as the log has always had it: 29 of 100 reads 28.
    const double percent = std::trunc(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
    return static_cast<signed char>(percent);
}

double UploadSecondsLeft(const UploadProgress &progress, double bytes_per_second) {
    constexpr double kPauseAfterRecordS = PAUSE_MS / 1000.0;
    const uint32_t total_bytes = progress.map_bytes;
    const uint32_t remaining_bytes = progress.bytes_sent < total_bytes ? total_bytes - progress.bytes_sent : 0;
    const uint32_t remaining_pauses =
        progress.records_accepted < progress.map_records ? progress.map_records - progress.records_accepted : 0;
    if (remaining_bytes == 0) return remaining_pauses * kPauseAfterRecordS;
    if (bytes_per_second > 0) return remaining_bytes / bytes_per_second + remaining_pauses * kPauseAfterRecordS;
    return -1;
}
