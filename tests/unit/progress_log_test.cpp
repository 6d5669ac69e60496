// The progress log holds exactly one number, the latest one, and reports
// every write that did not reach the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include "progress_log.h"
#include "test_support.h"

using namespace testing_support;

namespace {

class ProgressLogTest : public ::testing::Test {
protected:
    TempDir dir;
    ScopedChdir here{dir.path()};
    std::string Log() const { return ReadFile(dir.file("zebmap.log")); }
};

TEST_F(ProgressLogTest, EachWriteReplacesTheWholeContent) {
    EXPECT_EQ(WriteLogProgress(0), 0);
    EXPECT_EQ(Log(), "0");
    EXPECT_EQ(WriteLogProgress(100), 0);
    EXPECT_EQ(Log(), "100");
    EXPECT_EQ(WriteLogProgress(47), 0);
    EXPECT_EQ(Log(), "47");  // nothing of the longer earlier value remains
    EXPECT_EQ(flog, nullptr);
}

TEST_F(ProgressLogTest, NegativeValuesKeepTheirSign) {
    EXPECT_EQ(WriteLogProgress(-56), 0);
    EXPECT_EQ(Log(), "-56");
    EXPECT_EQ(WriteLogProgress(-128), 0);
    EXPECT_EQ(Log(), "-128");
}

TEST_F(ProgressLogTest, OpenAndCloseLeaveAnEmptyFile) {
    WriteFile(dir.file("zebmap.log"), "100");
    ASSERT_EQ(OpenLogProgress(), 0);
    EXPECT_NE(flog, nullptr);
    CloseLogProgress();
    EXPECT_EQ(flog, nullptr);
    EXPECT_TRUE(FileExists(dir.file("zebmap.log")));
    EXPECT_EQ(Log(), "");
}

TEST_F(ProgressLogTest, AFileThatCannotBeOpenedGivesMinusOneSilently) {
    MakeDir(dir.file("zebmap.log"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(OpenLogProgress(), -1);
    EXPECT_EQ(WriteLogProgress(47), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(flog, nullptr);
}

// The test before an upload: a log another run is writing keeps its number.
TEST_F(ProgressLogTest, TheWritabilityTestKeepsTheLogAndRefusesWhatCannotBeWritten) {
    EXPECT_EQ(TestLogProgressWritable(), 0);
    EXPECT_TRUE(FileExists(dir.file("zebmap.log")));
    EXPECT_EQ(Log(), "");
    WriteFile(dir.file("zebmap.log"), "59");
    EXPECT_EQ(TestLogProgressWritable(), 0);
    EXPECT_EQ(Log(), "59");
    EXPECT_EQ(flog, nullptr);

    unlink(dir.file("zebmap.log").c_str());
    MakeDir(dir.file("zebmap.log"));
    EXPECT_EQ(TestLogProgressWritable(), -1);
}

TEST_F(ProgressLogTest, ANumberLostAtTheCloseIsReported) {
    // /dev/full accepts the open and the buffered print; only the close
    // finds that the bytes could not be written.
    ASSERT_EQ(symlink("/dev/full", dir.file("zebmap.log").c_str()), 0);
    EXPECT_EQ(WriteLogProgress(47), -2);
    EXPECT_EQ(flog, nullptr);
}

}  // namespace
