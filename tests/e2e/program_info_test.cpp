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

const std::vector<std::string> kPrograms = {"pardulo",           "pardulo-devsim",  "pardulo-ports",
                                            "pardulo-bgra2png",  "pardulo-png2raw", "pardulo-preview",
                                            "pardulo-linkprobe", "pardulo-station"};

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

// The helper programs read their command line alike: a mistake is named on
// standard error with the way to the usage, status 2, nothing else done.
TEST(ProgramInfo, EveryHelperProgramRefusesABadCommandLineWithStatus2) {
    const struct {
        const char *program;
        std::vector<std::string> args;
        const char *named;  // what the message must mention
    } rows[] = {
        {"pardulo-devsim", {"--bogus"}, "--bogus"},
        {"pardulo-devsim", {"--gap", "soon", "--", "/bin/sh", "-c", "touch ran"}, "--gap"},
        {"pardulo-ports", {"--bogus"}, "--bogus"},
        {"pardulo-bgra2png", {"--bogus", "in.bgra", "out.png"}, "--bogus"},
        {"pardulo-bgra2png", {"--width", "-1", "in.bgra", "out.png"}, "--width"},
        {"pardulo-png2raw", {"--bogus", "a.png"}, "--bogus"},
        {"pardulo-png2raw", {"--into"}, "--into"},
        {"pardulo-preview", {"--bogus", "out.png"}, "--bogus"},
        {"pardulo-preview", {}, "OUT.png"},
        {"pardulo-linkprobe", {"--bogus", "ping", "/dev/null"}, "--bogus"},
        {"pardulo-linkprobe", {"burst", "/dev/null", "-1"}, "COUNT"},
        {"pardulo-linkprobe", {"receive", "/dev/null", "zz"}, "zz"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.program) + " " + (row.args.empty() ? "" : row.args[0]));
        TempDir dir;
        std::vector<std::string> argv = {BuildPath(row.program)};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        const auto run = RunProgram(argv, dir.path());
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind(std::string(row.program) + ": ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("(see --help)\n"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(row.named), std::string::npos) << run.err;
        EXPECT_FALSE(FileExists(dir.file("ran")));
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
