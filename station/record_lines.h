// The record file read back a line at a time, from any place in it: the
// metrics count what it holds at start, the publisher sends what follows
// the last line its broker acknowledged. Only whole lines count: the one
// the station is writing (no line feed yet) comes on a later read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Longer lines are no record of the station's; they are passed on empty.
constexpr std::size_t kMaxRecordLineBytes = 64 * 1024;

// Calls take(line, end) for every whole line from byte offset on, the line
// without its line feed and end the offset just after it, until take returns
// false or the file ends. A missing file has no lines. False when the file
// cannot be read.
bool ReadRecordLines(const std::string &path, uint64_t offset,
                     const std::function<bool(const std::string &line, uint64_t end)> &take);
