// One process per port: the advisory lock and the terminal's exclusive mode
// on a real pseudo-terminal, opened twice as two runs of the program would.
#include "port_lock.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "test_support.h"

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

class PortLock : public ::testing::Test {
protected:
    void SetUp() override {
        int master = -1;
        int slave = -1;
        char name[128] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        master_ = std::make_unique<Fd>(master);
        close(slave);  // the test opens the slave by name, like the link
        slave_name_ = name;
    }

    int OpenSlave() const { return open(slave_name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }

    static bool Exclusive(int fd) {
        int exclusive = 0;
        return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    }

    std::unique_ptr<Fd> master_;
    std::string slave_name_;
};

TEST_F(PortLock, SecondOpenOfTheSamePortIsRefusedUntilTheFirstLetsGo) {
    Fd first(OpenSlave());
    Fd second(OpenSlave());  // root passes the exclusive mode; the lock must not
    ASSERT_GE(first.get(), 0);
    ASSERT_GE(second.get(), 0);

    ASSERT_EQ(LockOpenPort(first.get()), 0);
    EXPECT_TRUE(Exclusive(first.get()));
    errno = 0;
    EXPECT_EQ(LockOpenPort(second.get()), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);

    UnlockPort(first.get());
    EXPECT_FALSE(Exclusive(first.get())) << "the exclusive mode outlives the slave's close on a pty";
    EXPECT_EQ(LockOpenPort(second.get()), 0);
    UnlockPort(second.get());
}

TEST_F(PortLock, ClosingThePortDropsTheLockEvenWithoutUnlock) {
    Fd first(OpenSlave());
    ASSERT_EQ(LockOpenPort(first.get()), 0);
    ioctl(first.get(), TIOCNXCL);  // as at exit; the advisory lock is the kernel's to drop
    first.Close();
    Fd second(OpenSlave());
    ASSERT_GE(second.get(), 0);
    EXPECT_EQ(LockOpenPort(second.get()), 0);
    UnlockPort(second.get());
}

TEST_F(PortLock, ExclusiveModeRefusesOtherProgramsThatIgnoreTheLock) {
    Fd first(OpenSlave());
    ASSERT_EQ(LockOpenPort(first.get()), 0);

    // An unprivileged opener: root itself is let through by the kernel.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(slave_name_.c_str(), 65534, 65534), 0);
    }
    auto open_as_other = [&]() {
        const pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
            const int fd = open(slave_name_.c_str(), O_RDWR | O_NOCTTY);
            _exit(fd >= 0 ? 0 : (errno == EBUSY ? 1 : 2));
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(open_as_other(), 1) << "busy while locked";
    UnlockPort(first.get());
    EXPECT_EQ(open_as_other(), 0) << "free once released";
}

TEST(PortLockOnFiles, AnythingThatIsNoTerminalGetsTheAdvisoryLockOnly) {
    testing_support::TempDir dir;
    testing_support::WriteFile(dir.file("port"), "");
    Fd first(open(dir.file("port").c_str(), O_RDWR));
    Fd second(open(dir.file("port").c_str(), O_RDWR));
    EXPECT_EQ(LockOpenPort(first.get()), 0);
    EXPECT_EQ(LockOpenPort(second.get()), -1);
    UnlockPort(first.get());
    EXPECT_EQ(LockOpenPort(second.get()), 0);
    UnlockPort(second.get());

    errno = 0;
    EXPECT_EQ(LockOpenPort(-1), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
