// The builder on arbitrary small resource directories. The input is decoded
// into up to five entries, each with a name (any bytes but '/' and NUL,
// optionally ending in "rawh"), a kind (file, directory, dangling link,
// FIFO), contents, and optionally a data partner (the name less its final
// "h"). Whatever the directory, the build ends, and a build that reports
// success (0, or 2 with some entries skipped) leaves a map that reads back
// framed correctly.
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "globals.h"
#include "resource_map.h"

namespace {

enum EntryKind { kRegular = 0, kDirectory = 1, kDanglingLink = 2, kFifo = 3 };

void MakeEntry(const std::string &path, int kind, const std::string &contents) {
    // A name given twice keeps its first entry: writing into a FIFO made
    // just before would wait forever for a reader.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) return;
    switch (kind) {
        case kRegular:
            if (FILE *file = fopen(path.c_str(), "wb")) {
                fwrite(contents.data(), 1, contents.size(), file);
                fclose(file);
            }
            break;
        case kDirectory:
            mkdir(path.c_str(), 0777);
            break;
        case kDanglingLink:
            (void)!symlink("nowhere/at/all", path.c_str());
            break;
        default:
            mkfifo(path.c_str(), 0666);
            break;
    }
}

std::string SafeName(std::string name) {
    for (char &c : name) {
        if (c == '/' || c == '\0') c = '_';
    }
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_support::EnterPrivateDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_support::RemoveTree(RESOURCES_DIRECTORY);
    mkdir(RESOURCES_DIRECTORY, 0777);
    const std::string dir = std::string(RESOURCES_DIRECTORY) + "/";

    fuzz_support::Input in(data, size);
    const int entries = in.Byte() % 6;
    for (int i = 0; i < entries && !in.Empty(); ++i) {
        const uint8_t flags = in.Byte();
        size_t name_length = in.Byte();
        if ((flags & 0x40) == 0) name_length %= 24;  // long names only when asked for
        std::string name = SafeName(in.Bytes(name_length));
        if (flags & 0x01) name += "rawh";
        const std::string contents = in.Bytes(in.Word() % 1024);
        if (name.empty() || name == "." || name == "..") continue;
        MakeEntry(dir + name, (flags >> 1) & 3, contents);
        if ((flags & 0x08) != 0 && name.size() > 1 && name.back() == 'h') {
            const std::string partner = in.Bytes(in.Word() % 4096);
            MakeEntry(dir + name.substr(0, name.size() - 1), (flags & 0x10) ? kFifo : kRegular, partner);
        }
    }

    const int32_t result = BuildResourceZebmapFile();
    if (result != 0 && result != 2 && result != -6) fuzz_support::Fail("builder result not 0, 2 or -6");
    if ((result == 0 || result == 2) && ReadResourceZebmapFile() != 0) fuzz_support::Fail("built map does not read back");
    return 0;
}
