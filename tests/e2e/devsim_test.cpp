// The real pardulo-devsim program, driven over its pty by the test acting as
// the host: answers, every injected fault, the transcript and the store, the
// wrapper mode, a line of devices and the line rate.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "map_bytes.h"
#include "pty_helper.h"
#include "test_support.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kPictureSize = 522240;

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// pardulo-devsim running in the background, its standard error in a file.
class Devsim {
public:
    Devsim(const TempDir &dir, const std::vector<std::string> &options)
        : err_path_(dir.file("devsim-" + std::to_string(++started_) + ".err")) {
        std::vector<std::string> args = {BuildPath("pardulo-devsim")};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = fork();
        if (pid_ == 0) {
            const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            if (chdir(dir.path().c_str()) != 0) _exit(126);
            std::vector<char *> argv;
            for (std::string &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        // The first line of standard error names the port.
        const auto start = Clock::now();
        while (MsSince(start) < 5000) {
            const std::string err = ReadFile(err_path_);
            const size_t eol = err.find('\n');
            if (eol != std::string::npos) {
                first_line_ = err.substr(0, eol);
                const std::string prefix = "devsim: port ";
                if (first_line_.rfind(prefix, 0) == 0) port_ = first_line_.substr(prefix.size());
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~Devsim() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    const std::string &port() const { return port_; }
    const std::string &first_line() const { return first_line_; }
    std::string err() const { return ReadFile(err_path_); }

    // Waits for the program to end by itself; -1 when it is still running.
    int Wait(int timeout_ms = 3000) {
        const auto start = Clock::now();
        while (status_ < 0 && MsSince(start) < timeout_ms) {
            int wstatus = 0;
            if (waitpid(pid_, &wstatus, WNOHANG) == pid_)
                status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return status_;
    }
    int Stop(int sig = SIGTERM) {
        kill(pid_, sig);
        return Wait();
    }

private:
    static inline int started_ = 0;  // one standard-error file per run
    std::string err_path_;
    pid_t pid_ = -1;
    int status_ = -1;
    std::string first_line_;
    std::string port_;
};

// The test's end of the line: the pty slave in raw mode, locked as pardulo
// locks a port, so no other run on the machine that reopens a pty name it
// used before can write into this device.
class Host {
public:
    explicit Host(const std::string &port) {
        fd_ = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) flock(fd_, LOCK_EX | LOCK_NB);
        termios tio{};
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Host() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void Send(const Bytes &bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN) break;
            else std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        tcdrain(fd_);
    }

    // Collects bytes until `quiet_ms` pass without one (or `max` arrived).
    Bytes Receive(int quiet_ms = 300, size_t max = SIZE_MAX) {
        Bytes got;
        hung_up_ = false;
        while (got.size() < max) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, quiet_ms) <= 0) break;
            uint8_t buffer[65536];
            const ssize_t n = read(fd_, buffer, std::min(sizeof buffer, max - got.size()));
            if (n > 0) {
                got.insert(got.end(), buffer, buffer + n);
            } else if (n == 0 || errno == EIO) {
                hung_up_ = true;
                break;
            }
        }
        return got;
    }
    // An expected answer of n bytes, taken as soon as it is in (after at most
    // a second of silence); a byte too many shows in the next read.
    Bytes Answer(size_t n = 1) { return Receive(1000, n); }

    bool hung_up() const { return hung_up_; }

private:
    int fd_ = -1;
    bool hung_up_ = false;
};

// The put message for data, its checksum off by checksum_delta.
Bytes Put(uint16_t block, const Bytes &data, int checksum_delta = 0) {
    const std::string text(data.begin(), data.end());
    return PutMessage(block, text, static_cast<uint32_t>(static_cast<int64_t>(PlainSum(text)) + checksum_delta));
}

const Bytes kAbc = {0x61, 0x62, 0x63};
const Bytes kPing(8, 0x03);
const Bytes kErase(8, 0x55);
const Bytes kGet = {0x02, 0x07, 0xD0, 0x00, 0x07, 0xF8, 0x00};

struct Line {
    uint64_t us;
    char dir;
    uint8_t byte;
};

std::vector<Line> ReadTranscript(const std::string &path) {
    std::vector<Line> lines;
    for (const std::string &text : Lines(ReadFile(path))) {
        // "MICROSECONDS H|D XX": decimal, one direction letter, two upper-case hex digits.
        const size_t space = text.find(' ');
        const bool ok = space != std::string::npos && space > 0 && text.size() == space + 5 &&
                        text.find_first_not_of("0123456789") == space &&
                        (text[space + 1] == 'H' || text[space + 1] == 'D') && text[space + 2] == ' ' &&
                        text.find_first_not_of("0123456789ABCDEF", space + 3) == std::string::npos;
        EXPECT_TRUE(ok) << "transcript line: " << text;
        if (!ok) continue;
        lines.push_back({std::stoull(text.substr(0, space)), text[space + 1],
                         static_cast<uint8_t>(std::stoul(text.substr(space + 3), nullptr, 16))});
    }
    return lines;
}

Bytes Direction(const std::vector<Line> &lines, char dir) {
    Bytes bytes;
    for (const Line &l : lines)
        if (l.dir == dir) bytes.push_back(l.byte);
    return bytes;
}

Bytes FileBytes(const std::string &path) {
    const std::string s = ReadFile(path);
    return Bytes(s.begin(), s.end());
}

}  // namespace

TEST(DevsimProgram, PutsAreAnsweredStoredAndTranscribed) {
    TempDir dir;
    Devsim sim(dir, {"--once", "--store", "store", "--transcript", "t.txt"});
    ASSERT_FALSE(sim.port().empty()) << sim.first_line();
    EXPECT_EQ(sim.port().rfind("/dev/pts/", 0), 0u);
    Host host(sim.port());
    ASSERT_TRUE(host.ok());

    host.Send(Put(1, kAbc));
    EXPECT_EQ(host.Answer(), Bytes{0x69});
    host.Send(Put(2, kAbc, +1));
    EXPECT_EQ(host.Answer(), Bytes{0x79});
    const Bytes with_terminators = {0x0D, 0x0A, 0x00, 0xFF, 0xAA};
    host.Send(Put(300, with_terminators));
    EXPECT_EQ(host.Answer(), Bytes{0x69});
    host.Send(kExitCommand);
    EXPECT_EQ(host.Receive(200), Bytes{});
    EXPECT_EQ(sim.Wait(), 0);

    EXPECT_EQ(ReadFile(dir.file("store/index.txt")), "1 3 294 block-00001.bin\n300 5 448 block-00300.bin\n");
    EXPECT_EQ(ReadFile(dir.file("store/block-00001.bin")), "abc");
    EXPECT_EQ(FileBytes(dir.file("store/block-00300.bin")), with_terminators);
    EXPECT_FALSE(FileExists(dir.file("store/block-00002.bin")));

    const std::vector<Line> lines = ReadTranscript(dir.file("t.txt"));
    EXPECT_EQ(Direction(lines, 'H'),
              Concat({Put(1, kAbc), Put(2, kAbc, +1), Put(300, with_terminators), kExitCommand}));
    EXPECT_EQ(Direction(lines, 'D'), (Bytes{0x69, 0x79, 0x69}));
    for (size_t i = 1; i < lines.size(); ++i) EXPECT_LE(lines[i - 1].us, lines[i].us);
    // Each answer follows the last byte of its message.
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].dir == 'D') {
            EXPECT_EQ(lines[i - 1].dir, 'H');
        }
}

TEST(DevsimProgram, StoreFollowsEraseAndLeavesOtherFilesAlone) {
    TempDir dir;
    MakeDir(dir.file("store"));
    WriteFile(dir.file("store/block-00009.bin"), "stale");
    WriteFile(dir.file("store/notes.txt"), "mine");
    Devsim sim(dir, {"--store", "store"});
    Host host(sim.port());
    EXPECT_FALSE(FileExists(dir.file("store/block-00009.bin")));
    EXPECT_EQ(ReadFile(dir.file("store/notes.txt")), "mine");

    host.Send(Put(1, kAbc));
    EXPECT_EQ(host.Receive(), Bytes{0x69});
    EXPECT_EQ(ReadFile(dir.file("store/index.txt")), "1 3 294 block-00001.bin\n");  // written at once
    host.Send(kErase);
    EXPECT_EQ(host.Receive(300), Bytes{});  // never answered
    EXPECT_EQ(ReadFile(dir.file("store/index.txt")), "");
    EXPECT_FALSE(FileExists(dir.file("store/block-00001.bin")));
    host.Send(Put(2, {7}));
    EXPECT_EQ(host.Answer(), Bytes{0x69});
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    EXPECT_EQ(ReadFile(dir.file("store/index.txt")), "2 1 7 block-00002.bin\n");
}

TEST(DevsimProgram, WithoutOnceTheDeviceOutlivesExitAndHostsThatCloseTheLine) {
    TempDir dir;
    Devsim sim(dir, {"--transcript", "t.txt"});
    {
        Host first(sim.port());
        first.Send(kPing);
        EXPECT_EQ(first.Answer(), Bytes{0x03});
        first.Send(kExitCommand);
    }
    Host second(sim.port());
    second.Send(kPing);
    EXPECT_EQ(second.Receive(), Bytes{0x03});
    EXPECT_EQ(sim.Wait(200), -1);
    EXPECT_EQ(sim.Stop(SIGINT), 0);
    EXPECT_EQ(Direction(ReadTranscript(dir.file("t.txt")), 'H'), Concat({kPing, kExitCommand, kPing}));
}

TEST(DevsimProgram, AnAnswerChosenForOneRecordHitsOnlyThatRecord) {
    struct Row {
        const char *option;
        Bytes answer;
    };
    const Row rows[] = {{"ko-checksum", {0x79}}, {"ko-flash", {0x89}}, {"byte:0x42", {0x42}},
                        {"byte:0x00", {0x00}},   {"none", {}}};
    // One device per row, all at once: each record goes to every device
    // before the answers are read.
    TempDir dirs[std::size(rows)];
    std::vector<std::unique_ptr<Devsim>> sims;
    std::vector<std::unique_ptr<Host>> hosts;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        sims.push_back(std::make_unique<Devsim>(dirs[i], std::vector<std::string>{
                                                             "--answer", std::string("2=") + rows[i].option,
                                                             "--store", "store"}));
        hosts.push_back(std::make_unique<Host>(sims[i]->port()));
    }
    for (uint16_t record = 1; record <= 3; ++record) {
        for (auto &host : hosts) host->Send(Put(record, kAbc));
        for (std::size_t i = 0; i < std::size(rows); ++i) {
            SCOPED_TRACE(rows[i].option);
            if (record == 2) {
                EXPECT_EQ(hosts[i]->Receive(700, 1), rows[i].answer);
            } else {
                EXPECT_EQ(hosts[i]->Answer(), Bytes{0x69});
            }
        }
    }
    // Nothing more, from any of them.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].option);
        EXPECT_EQ(hosts[i]->Receive(1), Bytes{});
        sims[i]->Stop();
        EXPECT_EQ(ReadFile(dirs[i].file("store/index.txt")), "1 3 294 block-00001.bin\n3 3 294 block-00003.bin\n");
    }
}

TEST(DevsimProgram, SessionWideAnswerOkCoversAWrongChecksum) {
    TempDir dir;
    Devsim sim(dir, {"--answer", "ok"});
    Host host(sim.port());
    host.Send(Put(1, kAbc, +5));
    EXPECT_EQ(host.Answer(), Bytes{0x69});
    host.Send(Put(2, kAbc));
    EXPECT_EQ(host.Receive(), Bytes{0x69});
}

TEST(DevsimProgram, AnswerDelayPerSessionAndPerRecord) {
    TempDir dir;
    Devsim sim(dir, {"--answer-delay", "150", "--answer-delay", "2=400"});
    Host host(sim.port());
    for (const double expected : {150.0, 400.0, 150.0}) {
        host.Send(Put(1, kAbc));
        const auto sent = Clock::now();
        EXPECT_EQ(host.Receive(600, 1), Bytes{0x69});
        const double waited = MsSince(sent);
        EXPECT_GE(waited, expected - 5);
        // Room for a busy machine, still well short of the other delay.
        EXPECT_LT(waited, expected + 150);
    }
}

TEST(DevsimProgram, PingAnswers) {
    TempDir dir;
    Devsim sim(dir, {"--ping-answer", "2=0x69", "--ping-answer", "3=none", "--ping-answer", "4=early"});
    Host host(sim.port());
    host.Send(Bytes(7, 0x03));
    EXPECT_EQ(host.Receive(200), Bytes{});  // not before the eighth copy
    host.Send({0x03});
    EXPECT_EQ(host.Answer(), Bytes{0x03});
    host.Send(kPing);
    EXPECT_EQ(host.Answer(), Bytes{0x69});
    host.Send(kPing);
    EXPECT_EQ(host.Receive(), Bytes{});
    // Early: the answer comes after the first copy, the rest get none.
    host.Send({0x03});
    EXPECT_EQ(host.Answer(), Bytes{0x03});
    host.Send(Bytes(7, 0x03));
    EXPECT_EQ(host.Receive(), Bytes{});
    host.Send(kPing);
    EXPECT_EQ(host.Receive(), Bytes{0x03});
}

TEST(DevsimProgram, PingAnswerByteAndAfterFirstForTheWholeSession) {
    TempDir dir;
    Devsim odd(dir, {"--ping-answer", "byte:0x89"});
    Host host(odd.port());
    host.Send(kPing);
    EXPECT_EQ(host.Receive(), Bytes{0x89});

    TempDir dir2;
    Devsim early(dir2, {"--ping-answer-after-first"});
    Host host2(early.port());
    for (int attempt = 0; attempt < 2; ++attempt) {
        host2.Send({0x03});
        EXPECT_EQ(host2.Answer(), Bytes{0x03});
        host2.Send(Bytes(7, 0x03));
        EXPECT_EQ(host2.Receive(), Bytes{});
    }
}

TEST(DevsimProgram, ReadDelaySlowsTheDeviceButLosesNothing) {
    TempDir dir;
    Devsim sim(dir, {"--read-delay-us", "5000", "--transcript", "t.txt"});
    Host host(sim.port());
    const Bytes data(20, 0x11);
    host.Send(Put(1, data));
    EXPECT_EQ(host.Receive(800), Bytes{0x69});
    sim.Stop();
    const std::vector<Line> lines = ReadTranscript(dir.file("t.txt"));
    ASSERT_EQ(Direction(lines, 'H'), Put(1, data));
    // 31 bytes read one at a time, 5 ms apart.
    EXPECT_GE(lines[30].us - lines[0].us, 30u * 5000u);
}

TEST(DevsimProgram, HangupAfterNBytesDropsTheLine) {
    TempDir dir;
    Devsim sim(dir, {"--hangup-after", "5", "--transcript", "t.txt"});
    Host host(sim.port());
    host.Send(Put(1, kAbc));
    const Bytes got = host.Receive(1000);
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(host.hung_up());
    EXPECT_EQ(sim.Wait(), 0);  // standalone: the device is gone
    EXPECT_EQ(Direction(ReadTranscript(dir.file("t.txt")), 'H'), (Bytes{0x01, 0x00, 0x01, 0x00, 0x00}));
}

TEST(DevsimProgram, DefaultScreenshotIsTheTestPicture) {
    TempDir dir;
    ASSERT_EQ(RunProgram({BuildPath("pardulo-devsim"), "--write-test-picture", dir.file("pic.bgra")}, dir.path())
                  .status,
              0);
    const Bytes picture = FileBytes(dir.file("pic.bgra"));
    ASSERT_EQ(picture.size(), kPictureSize);
    Devsim sim(dir, {"--transcript", "t.txt"});
    Host host(sim.port());
    host.Send(kGet);
    const Bytes got = host.Receive(600, kPictureSize);
    EXPECT_EQ(got.size(), kPictureSize);
    EXPECT_TRUE(got == picture);
    for (const int b : {0x00, 0x0A, 0x0D})
        EXPECT_NE(std::find(got.begin(), got.end(), static_cast<uint8_t>(b)), got.end());
    sim.Stop();
    const std::vector<Line> lines = ReadTranscript(dir.file("t.txt"));
    EXPECT_EQ(Direction(lines, 'H'), kGet);
    EXPECT_TRUE(Direction(lines, 'D') == picture);
}

TEST(DevsimProgram, ScreenshotFromAFileAndShortenedStreams) {
    TempDir dir;
    std::string shot;
    for (int i = 0; i < 1000; ++i) shot.push_back(static_cast<char>(i * 7));
    WriteFile(dir.file("shot.bin"), shot);
    {
        Devsim sim(dir, {"--screenshot", "shot.bin"});
        Host host(sim.port());
        host.Send(kGet);
        EXPECT_EQ(host.Receive(1000, shot.size()), Bytes(shot.begin(), shot.end()));
        // A second request gets it again.
        host.Send(kGet);
        EXPECT_EQ(host.Receive().size(), shot.size());
    }
    {
        Devsim sim(dir, {"--screenshot", "shot.bin", "--get-bytes", "2500"});
        Host host(sim.port());
        host.Send(kGet);
        const Bytes got = host.Receive();
        ASSERT_EQ(got.size(), 2500u);
        EXPECT_EQ(Bytes(got.begin() + 2000, got.end()), Bytes(shot.begin(), shot.begin() + 500));
    }
    {
        Devsim sim(dir, {"--get-bytes", "0"});
        Host host(sim.port());
        host.Send(kGet);
        EXPECT_EQ(host.Receive(), Bytes{});
        host.Send(kPing);  // still listening
        EXPECT_EQ(host.Receive(), Bytes{0x03});
    }
}

TEST(DevsimProgram, PauseInsideTheScreenshotStream) {
    TempDir dir;
    Devsim sim(dir, {"--get-pause-after", "100000", "--get-pause-ms", "800"});
    Host host(sim.port());
    host.Send(kGet);
    const auto start = Clock::now();
    EXPECT_EQ(host.Receive(500).size(), 100000u);  // a host's time-out ends it here
    const Bytes rest = host.Receive(500);
    EXPECT_EQ(rest.size(), kPictureSize - 100000);
    EXPECT_GE(MsSince(start), 800);
}

TEST(DevsimProgram, EndlessStreamStopsWhenTheHostSpeaks) {
    TempDir dir;
    Devsim sim(dir, {"--get-endless"});
    Host host(sim.port());
    host.Send(kGet);
    EXPECT_EQ(host.Receive(500, kPictureSize + 10000).size(), kPictureSize + 10000);
    host.Send(kPing);
    const Bytes tail = host.Receive(300);
    ASSERT_FALSE(tail.empty());
    // Whatever was in flight, then the ping's answer and silence.
    EXPECT_EQ(tail.back(), 0x03);
    EXPECT_LT(tail.size(), 300000u);
}

TEST(DevsimProgram, UnfinishedMessageIsDroppedAfterTheMessageTimeout) {
    TempDir dir;
    Devsim sim(dir, {"--message-timeout", "200"});
    Host host(sim.port());
    const Bytes put = Put(1, kAbc);
    host.Send(Bytes(put.begin(), put.begin() + 9));
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    host.Send(kPing);
    EXPECT_EQ(host.Receive(), Bytes{0x03});
}

TEST(DevsimProgram, PortFileAndVerboseLog) {
    TempDir dir;
    Devsim sim(dir, {"--port-file", "port.txt", "-v"});
    EXPECT_EQ(ReadFile(dir.file("port.txt")), sim.port() + "\n");
    Host host(sim.port());
    host.Send(Put(4, kAbc));
    host.Receive();
    sim.Stop();
    EXPECT_NE(sim.err().find("devsim: put 1: block 4 size 3 checksum 294"), std::string::npos) << sim.err();
}

TEST(DevsimProgram, HelpAndMistakes) {
    TempDir dir;
    const RunResult help = RunProgram({BuildPath("pardulo-devsim"), "--help"}, dir.path());
    EXPECT_EQ(help.status, 0);
    for (const char *word : {"--store", "--transcript", "--answer", "--answer-delay", "--read-delay-us",
                             "--hangup-after", "--get-pause-after", "--get-pause-ms", "--get-bytes", "--get-endless",
                             "--ping-answer", "--ping-answer-after-first", "--screenshot", "--once", "--adapter",
                             "--write-test-picture", "{port}", "devsim: port", "--devices", "--gap", "--linger",
                             "--device K", "--pull-after", "--baud", "PARDULO_PTY_PACE", "status.txt"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;

    const RunResult bad = RunProgram({BuildPath("pardulo-devsim"), "--answer", "sometimes"}, dir.path());
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--answer"), std::string::npos);
    const RunResult missing = RunProgram({BuildPath("pardulo-devsim"), "--screenshot", "nope.bin"}, dir.path());
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("nope.bin"), std::string::npos);
}

TEST(DevsimWrapper, RunsTheCommandOnThePortAndPassesItsStatusThrough) {
    TempDir dir;
    // The command: print the port, send an exit command and a put, read the
    // answer back, and end with status 3.
    const std::string script =
        "echo \"port=$1\"; exec 3<>\"$1\"; printf '\\001\\000\\001\\000\\000\\000\\001A\\000\\000\\000A' >&3; "
        "head -c 1 <&3 | od -An -tx1; echo oops >&2; exit 3";
    const RunResult r = RunProgram({BuildPath("pardulo-devsim"), "--adapter", "none", "--store", "store",
                                    "--transcript", "t.txt", "--", "/bin/sh", "-c", script, "sh", "{port}"},
                                   dir.path(), {}, 20);
    EXPECT_EQ(r.status, 3) << r.err;
    const std::vector<std::string> err = Lines(r.err);
    ASSERT_GE(err.size(), 2u);
    EXPECT_EQ(err[0].rfind("devsim: port /dev/pts/", 0), 0u);
    EXPECT_EQ(r.out, "port=" + err[0].substr(13) + "\n 69\n");
    EXPECT_NE(r.err.find("oops"), std::string::npos);
    EXPECT_EQ(ReadFile(dir.file("store/index.txt")), "1 1 65 block-00001.bin\n");
    EXPECT_EQ(Direction(ReadTranscript(dir.file("t.txt")), 'D'), Bytes{0x69});
}

TEST(DevsimWrapper, SignalOfTheCommandAndCommandsThatCannotRun) {
    TempDir dir;
    const RunResult killed = RunProgram(
        {BuildPath("pardulo-devsim"), "--adapter", "none", "--", "/bin/sh", "-c", "kill -TERM $$"}, dir.path());
    EXPECT_EQ(killed.status, 128 + SIGTERM);
    const RunResult absent =
        RunProgram({BuildPath("pardulo-devsim"), "--adapter", "none", "--", "./no-such-program"}, dir.path());
    EXPECT_EQ(absent.status, 127);
    EXPECT_NE(absent.err.find("no-such-program"), std::string::npos);
    const RunResult no_adapter =
        RunProgram({BuildPath("pardulo-devsim"), "--adapter", "/nowhere/lib.so", "--", "/bin/true"}, dir.path());
    EXPECT_EQ(no_adapter.status, 2);
    EXPECT_NE(no_adapter.err.find("/nowhere/lib.so"), std::string::npos);
}

TEST(DevsimWrapper, PreloadsTheAdapterFromItsOwnDirectory) {
    const std::string adapter = BuildPath("libpardulo_pty_adapter.so");
    if (!FileExists(adapter)) GTEST_SKIP() << "pty adapter not built";
    TempDir dir;
    const RunResult r = RunProgram({BuildPath("pardulo-devsim"), "--", "/bin/sh", "-c",
                                    "echo \"$LD_PRELOAD\"; echo \"$ASAN_OPTIONS\""},
                                   dir.path(), {"ASAN_OPTIONS=", "LD_PRELOAD="});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> out = Lines(r.out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].find("libpardulo_pty_adapter.so"), out[0].size() - 25);
    EXPECT_NE(out[1].find("verify_asan_link_order=0"), std::string::npos);
}

TEST(DevsimWrapper, HangupStillWaitsForTheCommand) {
    TempDir dir;
    // The command writes 10 bytes, then finds the line dropped: end of file.
    const std::string script =
        "exec 3<>\"$1\"; printf '\\003\\003\\003\\003\\003\\003\\003\\003\\003\\003' >&3; sleep 0.3; "
        "n=$(head -c 1 <&3 2>/dev/null | wc -c); echo \"read $((n))\"; exit 0";
    const RunResult r = RunProgram({BuildPath("pardulo-devsim"), "--adapter", "none", "--hangup-after", "4", "--",
                                    "/bin/sh", "-c", script, "sh", "{port}"},
                                   dir.path(), {}, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "read 0\n");
}

// ---- a line of devices and the line rate, with the real pardulo as host ----

namespace {

// The adapter's sanitizer setting, for programs the device wraps.
std::vector<std::string> WrappedEnv(std::vector<std::string> env) {
    for (const std::string &entry : PtyAdapterEnv())
        if (entry.rfind("ASAN_OPTIONS=", 0) == 0) env.push_back(entry);
    return env;
}

}  // namespace

TEST(DevsimLineOfDevices, ThreeDevicesInTurnEachWithItsStoreStatusAndOwnFault) {
    TempDir dir;
    const std::string first(300, 'a');
    const std::string second(150, 'b');
    WriteFile(dir.file("zebmap.map"), MapFile({MapRecord(1, first), MapRecord(2, second)}));
    // What an earlier run left goes; so does a line-of-one's index.
    MakeDir(dir.file("st"));
    MakeDir(dir.file("st/device-00007"));
    WriteFile(dir.file("st/device-00007/block-00001.bin"), "stale");
    WriteFile(dir.file("st/index.txt"), "1 5 0 block-00001.bin\n");

    Devsim sim(dir, {"--devices", "3", "--linger", "1000", "--gap", "2000", "--store", "st", "--device", "2",
                     "--answer", "2=ko-checksum", "--device", "3", "--pull-after", "20"});
    ASSERT_FALSE(sim.port().empty()) << sim.first_line();
    const auto upload = [&] { return RunProgram({BuildPath("pardulo"), "p", sim.port()}, dir.path(), PtyAdapterEnv(), 30); };

    const RunResult one = upload();
    const auto exit_sent = Clock::now();  // at most this late: pardulo sends it just before it ends
    EXPECT_EQ(one.status, 0) << one.out;
    {
        Host host(sim.port());
        host.Send(kPing);  // lingering in its fixture after the exit: still answers
        EXPECT_EQ(host.Receive(), Bytes{0x03});
        std::this_thread::sleep_until(exit_sent + std::chrono::milliseconds(1300));
        host.Send(kPing);  // gone: the gap is silent
        EXPECT_EQ(host.Receive(300), Bytes{});
        EXPECT_FALSE(FileExists(dir.file("st/device-00002")));
        std::this_thread::sleep_until(exit_sent + std::chrono::milliseconds(3300));
        host.Send(kPing);  // the next device
        EXPECT_EQ(host.Receive(), Bytes{0x03});
    }
    const RunResult two = upload();  // device 2 refuses its record 2
    const auto second_exit = Clock::now();
    EXPECT_EQ(two.status, 1);
    EXPECT_NE(two.out.find("CHECKSUM"), std::string::npos) << two.out;
    std::this_thread::sleep_until(second_exit + std::chrono::milliseconds(3300));
    const RunResult three = upload();  // device 3 is pulled inside its first record
    EXPECT_EQ(three.status, 1);
    EXPECT_EQ(sim.Wait(5000), 0);  // after the last device the simulator ends

    EXPECT_FALSE(FileExists(dir.file("st/device-00007")));
    EXPECT_FALSE(FileExists(dir.file("st/index.txt")));
    EXPECT_EQ(ReadFile(dir.file("st/device-00001/index.txt")),
              "1 300 29100 block-00001.bin\n2 150 14700 block-00002.bin\n");
    EXPECT_EQ(ReadFile(dir.file("st/device-00001/block-00001.bin")), first);
    EXPECT_EQ(ReadFile(dir.file("st/device-00001/block-00002.bin")), second);
    EXPECT_EQ(ReadFile(dir.file("st/device-00001/status.txt")), "puts 2\nexit yes\npulled no\nleft yes\n");
    EXPECT_EQ(ReadFile(dir.file("st/device-00002/index.txt")), "1 300 29100 block-00001.bin\n");
    EXPECT_EQ(ReadFile(dir.file("st/device-00002/status.txt")),
              "puts 2\nrefused 2 2 0x79\nexit yes\npulled no\nleft yes\n");
    EXPECT_EQ(ReadFile(dir.file("st/device-00003/index.txt")), "");
    EXPECT_EQ(ReadFile(dir.file("st/device-00003/status.txt")), "puts 0\nexit no\npulled yes\nleft yes\n");
}

TEST(DevsimLineOfDevices, WhatTheHostSentToTheEmptyFixtureNeverReachesTheNextBoard) {
    TempDir dir;
    // A slow reader (5 ms a byte) is still reading the pings sent after the
    // exit command when board 2 arrives, 200 ms after board 1 left.
    Devsim sim(dir, {"--devices", "2", "--gap", "200", "--read-delay-us", "5000"});
    ASSERT_FALSE(sim.port().empty()) << sim.first_line();
    Host host(sim.port());
    Bytes exit_then_pings(8, 0xAA);
    for (int i = 0; i < 12; ++i) exit_then_pings.insert(exit_then_pings.end(), kPing.begin(), kPing.end());
    host.Send(exit_then_pings);
    EXPECT_EQ(host.Receive(800), Bytes{}) << "sent while the fixture was empty: lost";
    host.Send(kPing);
    EXPECT_EQ(host.Answer(), Bytes{0x03}) << "board 2 answers what comes after it";
}

TEST(DevsimLineRate, PacedOnBothSidesA64KiBRecordIsAcceptedAtTheLineRate) {
    constexpr double kByteUs = 1e6 * 10 / 115200;
    TempDir dir;
    std::mt19937 random(14);
    std::string data(65536, '\0');
    for (char &c : data) c = static_cast<char>(random() & 0xFF);
    WriteFile(dir.file("zebmap.map"), MapFile({MapRecord(1, data)}));
    const RunResult up = RunProgram({BuildPath("pardulo-devsim"), "--baud", "115200", "--store", "st", "--transcript",
                                     "t.txt", "--", BuildPath("pardulo"), "p", "{port}"},
                                    dir.path(), WrappedEnv({"PARDULO_PTY_PACE=1"}), 60);
    EXPECT_EQ(up.status, 0) << up.out;
    EXPECT_EQ(up.out.find("SerialReceive Error"), std::string::npos);
    EXPECT_EQ(ReadFile(dir.file("st/block-00001.bin")), data);
    // The put message (1 + 2 + 4 + 65536 + 4 bytes) reached the device at the line's pace.
    const std::vector<Line> lines = ReadTranscript(dir.file("t.txt"));
    std::vector<uint64_t> host;
    for (const Line &l : lines)
        if (l.dir == 'H') host.push_back(l.us);
    ASSERT_GE(host.size(), 65547u);
    const double put_us = static_cast<double>(host[65546] - host[0]);
    EXPECT_NEAR(put_us / (65547 * kByteUs), 1.0, 0.03) << put_us / 1e6 << " s";

    // The device's own sends: a 23040-byte screenshot takes two seconds.
    const RunResult get = RunProgram({BuildPath("pardulo-devsim"), "--baud", "115200", "--get-bytes", "23040",
                                      "--transcript", "g.txt", "--", BuildPath("pardulo"), "g", "{port}"},
                                     dir.path(), WrappedEnv({"PARDULO_PTY_PACE=1"}), 30);
    EXPECT_EQ(ReadFile(dir.file("test.bgra")).size(), 23040u) << get.out;
    std::vector<uint64_t> device;
    for (const Line &l : ReadTranscript(dir.file("g.txt")))
        if (l.dir == 'D') device.push_back(l.us);
    ASSERT_EQ(device.size(), 23040u);
    EXPECT_NEAR(static_cast<double>(device.back() - device.front()) / (23040 * kByteUs), 1.0, 0.03);
}
