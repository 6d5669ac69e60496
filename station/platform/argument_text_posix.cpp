// Arguments on Linux: the bytes as they came, UTF-8 on a UTF-8 system (the
// JSON writer replaces what is not UTF-8).
#include "argument_text.h"

std::string ArgumentText(int, char **argv, int index) { return argv[index]; }
