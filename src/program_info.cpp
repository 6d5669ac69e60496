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

bool AnswerInfoRequest(int argc, char **argv, const char *program, const char *usage) {
    for (int i = 1; i < argc; ++i) {
        switch (InfoRequestOf(argv[i])) {
            case InfoRequest::kHelp: fputs(usage, stdout); return true;
            case InfoRequest::kVersion: PrintVersion(program); return true;
            case InfoRequest::kNone: break;
        }
    }
    return false;
}
