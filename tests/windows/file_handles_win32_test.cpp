// The Windows input opener and output creator: only regular files are
// read, whatever a name means to Windows, and the mode's "b" alone decides
// between the host's text line ends and bytes kept as they are.
#include "file_handles.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "test_support.h"

namespace {

using testing_support::MakeDir;
using testing_support::ReadFile;
using testing_support::ScopedChdir;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(file_handles_win32, OnlyRegularFilesAreOpenedForReading) {
    TempDir dir;
    const ScopedChdir here(dir.path());
    WriteFile("data.raw", "x");
    MakeDir("folder");
    EXPECT_TRUE(OpenRegularFile("data.raw", "rb"));
    for (const char *name : {"folder", "missing.raw", "NUL", "CON"}) {
        EXPECT_FALSE(OpenRegularFile(name, "rb")) << name;
        EXPECT_FALSE(OpenRegularFile(name, "r")) << name;
    }
}

TEST(file_handles_win32, TextModeWritesAndReadsCrlfBinaryModeKeepsBytes) {
    TempDir dir;
    const ScopedChdir here(dir.path());
    const std::string bytes = "a\nb\r\n\x1a" "c";  // 0x1A would end a text-mode read
    for (const char *mode : {"w+", "wb+"}) {
        FilePtr out = CreateOutputFile("out", mode);
        ASSERT_TRUE(out) << mode;
        fputs(bytes.c_str(), out.get());
        ASSERT_EQ(fclose(out.release()), 0);
        EXPECT_EQ(ReadFile("out"), mode[1] == 'b' ? bytes : "a\r\nb\r\r\n\x1a" "c") << mode;
    }

    // Text read as text gives the lines back; the header parser reads so.
    WriteFile("header.rawh", "first\r\nsecond\r\n");
    FilePtr in = OpenRegularFile("header.rawh", "r");
    ASSERT_TRUE(in);
    char line[16] = {};
    ASSERT_NE(fgets(line, sizeof line, in.get()), nullptr);
    EXPECT_STREQ(line, "first\n");

    // An existing output is emptied.
    ASSERT_TRUE(CreateOutputFile("out", "wb+"));
    EXPECT_EQ(ReadFile("out"), "");
}

}  // namespace
