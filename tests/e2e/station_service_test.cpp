// pardulo-station as a service runs it: reporting to a service manager (the
// test plays the manager's side of the notify protocol on a datagram socket
// of its own), and serving the whole network from a wildcard address.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <grp.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "map_bytes.h"
#include "pty_helper.h"
#include "simulated_device.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;

struct Report {
    double at_s;  // since the listening began
    std::string text;
};

// The manager's socket: every datagram, with the time it came, until
// STOPPING=1 or the time-out.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        const timeval tick{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    }
    ~NotifySocket() {
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
    }
    bool bound() const { return bound_; }

    std::vector<Report> Listen(double timeout_s) const {
        std::vector<Report> reports;
        const Clock::time_point start = Clock::now();
        while (std::chrono::duration<double>(Clock::now() - start).count() < timeout_s) {
            char buffer[4096];
            const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) continue;
            reports.push_back({std::chrono::duration<double>(Clock::now() - start).count(),
                               std::string(buffer, static_cast<std::size_t>(got))});
            if (reports.back().text == "STOPPING=1") break;
        }
        return reports;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(StationNotify, ReadyWatchdogStatusAndStoppingGoToTheManagersSocket) {
    TempDir work;
    TempDir devices;
    WriteFile(work.file("zebmap.map"), MapFile({MapRecord(1, RandomBytes(300, 1)), MapRecord(2, RandomBytes(300, 2))}));
    SimulatedDevice device(devices.file("a"));
    ASSERT_FALSE(device.port().empty());
    const NotifySocket manager(work.file("notify"));
    ASSERT_TRUE(manager.bound());

    std::vector<Report> reports;
    std::thread listener([&] { reports = manager.Listen(60); });
    // One watchdog interval of 1 s: a ping every half second. The station
    // runs on, device flashed, for a few pings more, then gets SIGTERM.
    const auto adapter = PtyAdapterEnv();
    const std::string script = "env " + adapter.at(0) + " NOTIFY_SOCKET=" + work.file("notify") +
                               " WATCHDOG_USEC=1000000 " + BuildPath("pardulo-station") + " " + device.port() +
                               " >station.out 2>station.err </dev/null & pid=$!\n"
                               "for i in $(seq 300); do [ -s station.jsonl ] && break; sleep 0.1; done\n"
                               "sleep 3; kill -TERM $pid; wait $pid; status=$?; cat station.err >&2; exit $status";
    const RunResult run = RunProgram({"/bin/bash", "-c", script}, work.path(), {adapter.at(1)}, 60);
    listener.join();
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;

    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().text, "READY=1");
    EXPECT_EQ(reports.back().text, "STOPPING=1");
    std::vector<double> pings;
    bool totals_seen = false;
    for (const Report &report : reports) {
        if (report.text == "WATCHDOG=1") pings.push_back(report.at_s);
        if (report.text.rfind("STATUS=ok 1  failed 0", 0) == 0) totals_seen = true;
    }
    EXPECT_TRUE(totals_seen);
    // Over 3 s after the record and the upload before it: at half the
    // interval, give or take one pass of the event loop (250 ms), and never
    // as late as a whole interval.
    ASSERT_GE(pings.size(), 6u);
    for (std::size_t i = 1; i < pings.size(); ++i) {
        EXPECT_GE(pings[i] - pings[i - 1], 0.45) << "ping " << i;
        EXPECT_LT(pings[i] - pings[i - 1], 0.9) << "ping " << i;
    }
}

TEST(StationServing, AWildcardAddressIsShownAsTheMachinesAddresses) {
    TempDir work;
    WriteFile(work.file("zebmap.map"), MapFile({MapRecord(1, RandomBytes(30, 1))}));
    const RunResult run = RunProgram(
        {BuildPath("pardulo-station"), "--once", "--wait", "0", "--http", "0.0.0.0:0", work.file("no-such-port")},
        work.path(), PtyAdapterEnv(), 30);
    ASSERT_FALSE(run.timed_out);
    std::smatch serving;
    ASSERT_TRUE(std::regex_search(run.err, serving, std::regex("pardulo-station: serving ([^\n]*)\n"))) << run.err;
    const std::string urls = serving[1];
    EXPECT_EQ(urls.find("0.0.0.0"), std::string::npos) << urls;
    // Loopback is one of every machine's addresses.
    EXPECT_TRUE(std::regex_search(urls, std::regex(R"((^| )http://127\.0\.0\.1:[1-9][0-9]*/( |$))"))) << urls;
}

// A service user outside the serial ports' group: pardulo's hint and the
// station's board say which group may open the port and how to join it.
// Needs root, to run as nobody, and a serial port nobody may open.
TEST(StationServing, APortThisUserMayNotOpenNamesTheGroupThatMay) {
    const std::string port = "/dev/ttyS0";
    struct stat st {};
    const struct group *owner = stat(port.c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
    const std::string group = owner != nullptr ? owner->gr_name : "";
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 || (group != "root" && group != "dialout") ||
        (st.st_mode & 0006) != 0) {
        GTEST_SKIP() << "needs root, setpriv and a " << port << " of root or dialout that others may not open";
    }
    TempDir work;
    ASSERT_EQ(chmod(work.path().c_str(), 0777), 0);
    WriteFile(work.file("zebmap.map"), MapFile({MapRecord(1, RandomBytes(30, 1))}));
    const std::vector<std::string> as_nobody = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                                "--clear-groups"};
    const std::string joining = "(sudo usermod -aG dialout nobody, then log in again)";

    std::vector<std::string> pardulo = as_nobody;
    pardulo.insert(pardulo.end(), {BuildPath("pardulo"), "r", port});
    const RunResult hinted = RunProgram(pardulo, work.path(), {}, 30);
    EXPECT_NE(hinted.err.find("hint: " + port + " exists but this user may not open it: "), std::string::npos)
        << hinted.err;
    EXPECT_NE(hinted.err.find(joining), std::string::npos) << hinted.err;
    EXPECT_EQ(hinted.out.find("dialout"), std::string::npos) << "standard output stays as it was";

    std::vector<std::string> station = as_nobody;
    station.insert(station.end(), {BuildPath("pardulo-station"), "--once", "--wait", "0", port});
    const RunResult board = RunProgram(station, work.path(), {}, 30);
    EXPECT_NE(board.err.find(port + ": this user may not open the port: "), std::string::npos) << board.err;
    EXPECT_NE(board.err.find(joining), std::string::npos) << board.err;
    EXPECT_NE(ReadFile(work.file("station.jsonl")).find("\"reason\":\"no port: Permission denied\""), std::string::npos)
        << "the record keeps the system's words";
}

}  // namespace
