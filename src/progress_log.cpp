#include "progress_log.h"

FILE *flog = nullptr;
int OpenLogProgress() { return -1; }
void CloseLogProgress() {}
int WriteLogProgress(signed char) { return -1; }
