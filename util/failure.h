// A program's own failure message: "PROGRAM: MESSAGE" as one line on
// standard error, the form every program of the project prints.
#pragma once

#include <string>

namespace util {

void PrintFailure(const char *program, const std::string &message);

// PrintFailure, then status, for "return Fail(...)" where the program ends.
int Fail(const char *program, const std::string &message, int status);

}  // namespace util
