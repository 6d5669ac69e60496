// The command line of every helper program, on CLI11, the same way in each:
// -h/--help and -V/--version answered first (src/program_info.h), the usage
// made from the option definitions with its usage line first, and a bad
// command line reported as "PROGRAM: MESSAGE (see --help)", exit status 2.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "util/numbers.h"

constexpr int kBadCommandLine = 2;
constexpr int kOptionsParsed = -1;  // ParseProgramOptions: go on

// Gives app the shared usage layout, the -h/--help and -V/--version entries
// and, for every option given twice, the last value (CLI11 refuses by default).
void PrepareProgramOptions(CLI::App &app, const std::string &description, std::size_t column_width = 24);

// The usage text of app, as --help prints it.
std::string ProgramUsage(const CLI::App &app);

// Answers help or version, or parses argv into app. kOptionsParsed to go
// on, else the exit status: 0 after help or version, kBadCommandLine after
// the message on standard error.
int ParseProgramOptions(CLI::App &app, int argc, char **argv);

// The same on arguments without the program's name: "" once parsed, else
// the library's message. Help and version are the caller's (InfoRequestOf).
std::string ParseArguments(CLI::App &app, const std::vector<std::string> &args);

// A value that must not be empty (a path, a folder).
const CLI::Validator &NonEmpty();

// An option whose value is a whole number from min to max in radix, handed
// to store only when it is one (otherwise the parse fails, naming it).
CLI::Option *AddNumberOption(CLI::App &app, const std::string &name, std::function<void(uint64_t)> store,
                             uint64_t min, uint64_t max, const std::string &description,
                             util::Radix radix = util::Radix::kDecimal);

// The same into value, whose type must hold max.
template <typename Number>
CLI::Option *AddNumberOption(CLI::App &app, const std::string &name, Number &value, uint64_t min, uint64_t max,
                             const std::string &description, util::Radix radix = util::Radix::kDecimal) {
    return AddNumberOption(
        app, name, [&value](uint64_t number) { value = static_cast<Number>(number); }, min, max, description, radix);
}
