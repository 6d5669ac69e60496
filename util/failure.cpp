#include "util/failure.h"

#include <cstdio>

namespace util {

void PrintFailure(const char *program, const std::string &message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
}

int Fail(const char *program, const std::string &message, int status) {
    PrintFailure(program, message);
    return status;
}

}  // namespace util
