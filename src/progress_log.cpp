#include "progress_log.h"

#include <cstdio>

#include "globals.h"

FILE *flog = nullptr;

int OpenLogProgress() {
    // "wb+" empties the file: it never holds more than the latest value.
    flog = fopen(LOG_FILE, "wb+");
    return flog == nullptr ? -1 : 0;
}

int TestLogProgressWritable() {
    // Appending never truncates; read access too, so that a FIFO named like
    // the log does not block the open waiting for a reader.
    FILE *probe = fopen(LOG_FILE, "ab+");
    if (probe == nullptr) return -1;
    fclose(probe);
    return 0;
}

void CloseLogProgress() {
    if (flog == nullptr) return;
    fclose(flog);
    flog = nullptr;
}

int WriteLogProgress(signed char val) {
    if (OpenLogProgress() != 0) return -1;

    const int written = fprintf(flog, "%d", static_cast<int>(val));

    // The number is buffered until the close, so a full disk or an I/O error
    // may only show there: the close decides as much as the print.
    const int closed = fclose(flog);
    flog = nullptr;
    if (written <= 0 || closed != 0) return -2;
    return 0;
}
