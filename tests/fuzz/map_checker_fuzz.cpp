// The map checker on arbitrary file contents: it must end on every input,
// touch nothing past its buffers, and answer only "framed correctly" or
// "framing error reported".
#include "fuzz_support.h"
#include "globals.h"
#include "resource_map.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_support::EnterPrivateDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_support::WriteFile(ZEBMAP_FILE, data, size);
    const int32_t result = ReadResourceZebmapFile();
    if (result != 0 && result != -3) fuzz_support::Fail("checker result other than 0 or -3 on a regular file");
    // A map without its first-line terminator can never be framed correctly.
    bool has_terminator = false;
    for (size_t i = 0; i < size && !has_terminator; ++i) has_terminator = data[i] == TERMINATOR;
    if (result == 0 && !has_terminator) fuzz_support::Fail("map without a first line accepted");
    return 0;
}
