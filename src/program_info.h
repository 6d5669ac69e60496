// The two questions every Pardulo program answers the same way, before it
// looks at anything else on its command line: -h/--help (its usage) and
// -V/--version ("NAME VERSION"), both on standard output with status 0.
#pragma once

enum class InfoRequest { kNone, kHelp, kVersion };

// Which of the two questions arg asks, if any.
InfoRequest InfoRequestOf(const char *arg);

// Prints "PROGRAM VERSION" as one line on standard output.
void PrintVersion(const char *program);

// Answers the first -h/--help (usage on standard output) or -V/--version
// among the arguments, wherever it stands; true when one was answered.
bool AnswerInfoRequest(int argc, char **argv, const char *program, const char *usage);
