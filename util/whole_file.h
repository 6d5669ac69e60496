// Files read or written in one piece. On failure, error says what could not
// be done to which file and why ("cannot open PATH: No such file ...").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace util {

// The whole file into bytes, but never more than limit + 1 bytes: a caller
// that needs at most limit sees a longer file without reading all of it.
bool ReadWholeFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error,
                   uint64_t limit = UINT64_MAX - 1);
// The same for a file that must be a regular one, as a map or a config is:
// a FIFO or a device named by mistake would block or never end.
bool ReadWholeRegularFile(const std::string &path, std::string &bytes, std::string &error,
                          uint64_t limit = UINT64_MAX - 1);

// Replaces path with size bytes of data: written to PATH.tmp first and put
// in place only when whole, so a reader never sees half a file and a
// failure leaves the earlier one as it was.
bool ReplaceWholeFile(const std::string &path, const void *data, std::size_t size, std::string &error);

}  // namespace util
