// A command-line argument as the text the records and the page write: UTF-8
// (argument_text_posix.cpp, argument_text_win32.cpp). Linux gives a program
// its arguments as the bytes they were typed in; Windows gives argv in the
// ANSI code page, in which a name's other characters are already lost.
#pragma once

#include <string>

// argv[index] in UTF-8 (index < argc).
std::string ArgumentText(int argc, char **argv, int index);
