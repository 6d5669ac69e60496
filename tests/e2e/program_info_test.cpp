// -h/--help and -V/--version of every program: the answer on standard output,
// status 0, nothing else done.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../src/globals.h"
#include "test_support.h"

namespace {

using testing_support::BuildPath;
using testing_support::FileExists;
using testing_support::RunProgram;
using testing_support::TempDir;

const std::vector<std::string> kPrograms = {"pardulo", "pardulo-devsim", "pardulo-ports", "pardulo-bgra2png",
                                            "pardulo-linkprobe"};

TEST(ProgramInfo, EveryProgramAnswersHelpAndVersionOnStandardOutput) {
    for (const std::string &program : kPrograms) {
        for (const char *option : {"-V", "--version"}) {
            SCOPED_TRACE(program + " " + option);
            TempDir dir;
            const auto run = RunProgram({BuildPath(program), option}, dir.path());
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.out, program + " " + VERSION + "\n");
            EXPECT_EQ(run.err, "");
        }
        for (const char *option : {"-h", "--help"}) {
            SCOPED_TRACE(program + " " + option);
            TempDir dir;
            const auto run = RunProgram({BuildPath(program), option}, dir.path());
            EXPECT_EQ(run.status, 0);
            EXPECT_NE(run.out.find("sage: "), std::string::npos) << run.out;
            EXPECT_EQ(run.err, "");
        }
    }
}

TEST(ProgramInfo, PardulosHelpIsTheBannerOfNoModeWithSuccessAndTouchesNoFile) {
    TempDir dir;
    const auto none = RunProgram({BuildPath("pardulo")}, dir.path());
    EXPECT_EQ(none.status, 1);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--help"}, {"-h", "p", "/dev/ttyUSB0"}, {"-V", "d"}}) {
        SCOPED_TRACE(args[0]);
        std::vector<std::string> argv = {BuildPath("pardulo")};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto run = RunProgram(argv, dir.path());
        EXPECT_EQ(run.status, 0);
        if (args[0] == "-V") EXPECT_EQ(run.out, std::string("pardulo ") + VERSION + "\n");
        else EXPECT_EQ(run.out, none.out);
        EXPECT_FALSE(FileExists(dir.file("zebmap.log")));
        EXPECT_FALSE(FileExists(dir.file("zebmap.map")));
    }
}

TEST(ProgramInfo, TheSimulatedDeviceAnswersWithoutRunningItsCommand) {
    TempDir dir;
    const auto run = RunProgram(
        {BuildPath("pardulo-devsim"), "--store", "store", "--version", "--", "/bin/sh", "-c", "touch ran"},
        dir.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string("pardulo-devsim ") + VERSION + "\n");
    EXPECT_FALSE(FileExists(dir.file("ran")));
    EXPECT_FALSE(FileExists(dir.file("store")));
}

}  // namespace
