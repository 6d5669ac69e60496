#include "program_info.h"

#include <cstdio>
#include <cstring>

#include "globals.h"

InfoRequest InfoRequestOf(const char *arg) {
    if (arg == nullptr) return InfoRequest::kNone;
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) return InfoRequest::kHelp;
    if (strcmp(arg, "-V") == 0 || strcmp(arg, "--version") == 0) return InfoRequest::kVersion;
    return InfoRequest::kNone;
}

void PrintVersion(const char *program) { printf("%s %s\n", program, VERSION); }
