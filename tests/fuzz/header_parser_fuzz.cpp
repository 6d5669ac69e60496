// The header-file parser on arbitrary first lines, through the builder on a
// resources directory of one resource with 64 bytes of data. Whatever the
// line, the builder either skips the resource as malformed (2), packs it
// (0: the map then holds exactly one record of the announced size and reads
// back correctly), or stops on a data file shorter than announced (-6).
#include <cstring>

#include "fuzz_support.h"
#include "globals.h"
#include "resource_map.h"

namespace {
constexpr size_t kDataSize = 64;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_support::EnterPrivateDirectory();
    mkdir(RESOURCES_DIRECTORY, 0777);
    std::string data(kDataSize, '\0');
    for (size_t i = 0; i < kDataSize; ++i) data[i] = static_cast<char>(static_cast<unsigned char>(i * 7 + 1));
    fuzz_support::WriteFile(std::string(RESOURCES_DIRECTORY) + "/picture.raw", data);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_support::WriteFile(std::string(RESOURCES_DIRECTORY) + "/picture.rawh", data, size);
    const int32_t result = BuildResourceZebmapFile();
    if (result != 0 && result != 2 && result != -6) fuzz_support::Fail("builder result not 0, 2 or -6");

    std::string map;
    if (!fuzz_support::ReadFile(ZEBMAP_FILE, map)) fuzz_support::Fail("no map after the build");
    if (result == 2 && map != "\r") fuzz_support::Fail("skipped resource left a record in the map");
    if (result == 0) {
        if (map.size() < 8 || map.front() != '\r' || map.back() != '\r') fuzz_support::Fail("record not framed");
        const auto *bytes = reinterpret_cast<const unsigned char *>(map.data());
        const uint32_t record_size = uint32_t{bytes[3]} << 24 | uint32_t{bytes[4]} << 16 | uint32_t{bytes[5]} << 8 | bytes[6];
        if (bytes[1] != 0 || bytes[2] != FLASH_INITIAL_BLOCK) fuzz_support::Fail("wrong starting block");
        if (record_size > kDataSize || map.size() != 1 + 6 + record_size + 1) fuzz_support::Fail("record size");
        for (size_t i = 0; i < record_size; ++i) {
            if (bytes[7 + i] != static_cast<unsigned char>(i * 7 + 1)) fuzz_support::Fail("record data differs");
        }
        if (ReadResourceZebmapFile() != 0) fuzz_support::Fail("built map does not read back");
    }
    return 0;
}
