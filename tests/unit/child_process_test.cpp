// The station's process layer on the platform it was built for: this test
// program starts itself again as the child, in the role the environment
// names, before any test runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "event_inbox.h"
#include "test_support.h"

#ifdef _WIN32
#include <stdlib.h>  // __argc, __argv
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace {

constexpr char kRole[] = "PARDULO_CHILD_TEST_ROLE";

// The child's own arguments, without the program.
std::vector<std::string> OwnArguments() {
    std::vector<std::string> args;
#ifdef _WIN32
    for (int i = 1; i < __argc; ++i) args.push_back(__argv[i]);
#else
    const std::string all = testing_support::ReadFile("/proc/self/cmdline");
    for (std::size_t at = all.find('\0'); at != std::string::npos && at + 1 < all.size();) {
        const std::size_t end = all.find('\0', at + 1);
        args.push_back(all.substr(at + 1, end - at - 1));
        at = end;
    }
#endif
    return args;
}

ChildSpec Spec(const std::string &role, std::vector<std::string> args = {}) {
    ChildSpec spec;
    spec.argv = {OwnProgramPath()};
    spec.argv.insert(spec.argv.end(), args.begin(), args.end());
    spec.extra_env = {std::string(kRole) + "=" + role};
    spec.pipe_stdin = true;
    spec.pipe_stdout = true;
    return spec;
}

[[noreturn]] void SleepForever() {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

// events: writes a worker's lines, good and bad. echo: tells the extra variable, then sends back what the parent writes
// until its end, and ends with 7. args: sends back its arguments, one a
// line. sleep: never ends by itself. held: tells its arguments and "held"
// on standard error, and never ends, holding its standard output.
[[noreturn]] void ActAsChild(const std::string &role) {
    if (role == "held") {
        for (const std::string &arg : OwnArguments()) fprintf(stderr, "[%s]\n", arg.c_str());
        fputs("held\n", stderr);
        fflush(stderr);
        SleepForever();
    }
    TakeParentChannel();
    printf("what the child prints is not on the channel\n");
    if (role == "echo") {
        const char *extra = getenv("PARDULO_CHILD_TEST_EXTRA");
        WriteToParent(std::string(extra != nullptr ? extra : "<unset>") + "\n");
        char buffer[256];
        for (long got; (got = ReadFromParent(buffer, sizeof buffer)) > 0;) {
            WriteToParent(std::string(buffer, static_cast<std::size_t>(got)));
        }
        fflush(stdout);
        std::_Exit(7);
    }
    if (role == "args") {
        for (const std::string &arg : OwnArguments()) WriteToParent("[" + arg + "]\n");
        std::_Exit(0);
    }
    if (role == "events") {
        // A worker of port 1 whose lines are not all events.
        StationEvent uploading;
        uploading.kind = EventKind::kUploading;
        uploading.port = 1;
        uploading.run.device = 5;
        StationEvent other_port = uploading;
        other_port.port = 0;
        WriteToParent(EncodeEvent(uploading) + "D 1 5 \x01garbage\n" + EncodeEvent(other_port) + "{\"cut");
        std::_Exit(0);
    }
    SleepForever();
}

const bool kIsChild = [] {
    if (const char *role = getenv(kRole)) ActAsChild(role);
    return false;
}();

std::string ReadToEnd(ChildProcess &child) {
    std::string all;
    char buffer[256];
    for (long got; (got = ReadFromChild(child, buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<std::size_t>(got));
    return all;
}

TEST(ChildProcess, PipesBothWaysWithItsEnvironmentAndExitStatus) {
    ASSERT_FALSE(kIsChild);
    ChildSpec spec = Spec("echo");
    spec.extra_env.push_back("PARDULO_CHILD_TEST_EXTRA=two words");
    ChildProcess child;
    std::string why;
    ASSERT_EQ(StartChild(spec, &child, &why), kChildOk) << why;
    EXPECT_TRUE(WriteToChild(child, "T"));
    EXPECT_TRUE(WriteToChild(child, "S\n"));
    // The end of its input is how the child learns that the parent is gone.
    CloseChildInput(child);
    EXPECT_EQ(ReadToEnd(child), "two words\nTS\n");
    int status = -1;
    ASSERT_EQ(WaitChild(child, 10000, &status), kChildOk);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(WaitChild(child, 0, &status), kChildLost);
}

TEST(ChildProcess, ArgumentsArriveAsGiven) {
    const std::vector<std::string> args = {"plain",       "two words", "quote\"inside", "\\\\.\\COM12",
                                           "trailing\\",  "",          "dir with space\\", "a\\\\\"b"};
    ChildProcess child;
    std::string why;
    ASSERT_EQ(StartChild(Spec("args", args), &child, &why), kChildOk) << why;
    std::string expected;
    for (const std::string &arg : args) expected += "[" + arg + "]\n";
    EXPECT_EQ(ReadToEnd(child), expected);
    int status = -1;
    ASSERT_EQ(WaitChild(child, 10000, &status), kChildOk);
    EXPECT_EQ(status, 0);
}

// The station's side of a worker: a line that is no event of the worker's
// port comes as a problem of that port, with its text.
TEST(ChildProcess, TheInboxTellsOfEveryLineThatIsNoEvent) {
    ChildProcess child;
    std::string why;
    ASSERT_EQ(StartChild(Spec("events"), &child, &why), kChildOk) << why;
    std::vector<StationEvent> events;
    {
        EventInbox inbox;
        inbox.Listen(child, 1);
        std::vector<StationEvent> taken;
        while (inbox.Take(&taken, 10000)) events.insert(events.end(), taken.begin(), taken.end());
    }
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, EventKind::kUploading);
    EXPECT_EQ(events[0].run.device, 5u);
    for (std::size_t i = 1; i < events.size(); ++i) {
        EXPECT_EQ(events[i].kind, EventKind::kProblem) << i;
        EXPECT_EQ(events[i].port, 1) << i;
    }
    EXPECT_EQ(events[1].text, "unreadable event: D 1 5 ?garbage");
    EXPECT_EQ(events[2].text.rfind("unreadable event: {\"version\":1,", 0), 0u) << events[2].text;
    EXPECT_EQ(events[3].text, "unreadable event: {\"cut");
    int status = -1;
    ASSERT_EQ(WaitChild(child, 10000, &status), kChildOk);
}

TEST(ChildProcess, AWaitEndsAtItsTimeOutAndAChildCanBeEnded) {
    ChildProcess child;
    std::string why;
    ASSERT_EQ(StartChild(Spec("sleep"), &child, &why), kChildOk) << why;
    int status = -1;
    EXPECT_EQ(WaitChild(child, 50, &status), kChildRunning);
    TerminateChild(child);
    EXPECT_EQ(WaitChild(child, 10000, &status), kChildOk);
    EXPECT_NE(status, 0);

    ChildSpec missing;
    missing.argv = {OwnProgramPath() + "-missing"};
    ChildProcess never;
    EXPECT_EQ(StartChild(missing, &never, &why), kChildNotStarted);
    EXPECT_NE(why.find("-missing"), std::string::npos) << why;
    EXPECT_EQ(WaitChild(never, 0, &status), kChildLost);
}

// Whether a child started now keeps a pipe's write end that the station
// made inheritable elsewhere (as the web side's sockets may be) open after
// the station has closed its own.
bool ChildKeepsAnInheritableWriteEnd(const ChildSpec &spec) {
    ChildProcess child;
    std::string why;
#ifdef _WIN32
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    EXPECT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
    EXPECT_EQ(StartChild(spec, &child, &why), kChildOk) << why;
    CloseHandle(write_end);
    DWORD waiting = 0;
    const bool kept = PeekNamedPipe(read_end, nullptr, 0, nullptr, &waiting, nullptr) != 0;
    CloseHandle(read_end);
#else
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    EXPECT_EQ(StartChild(spec, &child, &why), kChildOk) << why;
    close(ends[1]);
    pollfd end{ends[0], POLLIN, 0};
    const bool kept = poll(&end, 1, 2000) == 0;  // no writer left reads as an end at once
    close(ends[0]);
#endif
    TerminateChild(child);
    int status = -1;
    EXPECT_EQ(WaitChild(child, 10000, &status), kChildOk);
    return kept;
}

TEST(ChildProcess, NothingElseOfTheStationsIsInherited) {
    ChildSpec shell = Spec("held");
    shell.shell_command = "\"" + OwnProgramPath() + "\"";
    shell.whole_tree = true;
    EXPECT_FALSE(ChildKeepsAnInheritableWriteEnd(Spec("sleep")));
    EXPECT_FALSE(ChildKeepsAnInheritableWriteEnd(shell));
}

// Reads without waiting until the output holds until, or with "" until its
// end; false after 20 s.
bool ReadNow(ChildProcess &child, std::string *all, const std::string &until = "") {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    char buffer[4096];
    while (until.empty() || all->find(until) == std::string::npos) {
        const long got = ReadFromChildNow(child, buffer, sizeof buffer);
        if (got == 0) return until.empty();
        if (got > 0) all->append(buffer, static_cast<std::size_t>(got));
        if (got == -1 || std::chrono::steady_clock::now() > deadline) return false;
        if (got == kChildNothingYet) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(ChildProcess, WithoutWaitingEveryByteGoesBothWaysThroughFullPipes) {
    // Far more than a pipe holds: the child's input fills up while its
    // output is not read, and neither end may wait for the other.
    std::string bytes(300000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
    ChildProcess child;
    std::string why;
    ASSERT_EQ(StartChild(Spec("echo"), &child, &why), kChildOk) << why;
    std::string back;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (std::size_t given = 0; given < bytes.size() && std::chrono::steady_clock::now() < deadline;) {
        const long taken = WriteToChildNow(child, bytes.data() + given, bytes.size() - given);
        ASSERT_GE(taken, 0);
        given += static_cast<std::size_t>(taken);
        char buffer[4096];
        const long got = ReadFromChildNow(child, buffer, sizeof buffer);
        if (got > 0) back.append(buffer, static_cast<std::size_t>(got));
    }
    CloseChildInput(child);
    EXPECT_TRUE(ReadNow(child, &back));
    EXPECT_TRUE(back == "<unset>\n" + bytes) << back.size() << " bytes back of " << bytes.size() + 8;
    int status = -1;
    ASSERT_EQ(WaitChild(child, 10000, &status), kChildOk);
    EXPECT_EQ(status, 7);
}

TEST(ChildProcess, AShellCommandRunsAsWrittenAndEndsAsAWholeTree) {
    // Quotes and spaces reach the shell as written; the program it starts
    // holds the output pipe, whose end comes only once that one has gone too.
    ChildSpec spec = Spec("held");
    spec.shell_command = "\"" + OwnProgramPath() + "\" plain \"two words\" \"\" && exit 0";
    spec.merge_stderr = true;
    spec.whole_tree = true;
    ChildProcess child;
    std::string why;
    ASSERT_EQ(StartChild(spec, &child, &why), kChildOk) << why;
    std::string said;
    ASSERT_TRUE(ReadNow(child, &said, "held")) << said;  // its standard error, in the output
    said.erase(std::remove(said.begin(), said.end(), '\r'), said.end());
    EXPECT_EQ(said.substr(0, said.find("held")), "[plain]\n[two words]\n[]\n");
    TerminateChild(child);
    int status = -1;
    ASSERT_EQ(WaitChild(child, 10000, &status), kChildOk);
    EXPECT_TRUE(ReadNow(child, &said)) << "what the shell started still holds the output";
}

}  // namespace
