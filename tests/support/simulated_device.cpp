#include "simulated_device.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "test_support.h"

namespace testing_support {

SimulatedDevice::SimulatedDevice(const std::string &dir, const std::vector<std::string> &options) : dir_(dir) {
    MakeDir(dir_);
    std::vector<std::string> argv = {BuildPath("pardulo-devsim"), "--port-file", dir_ + "/port", "--store",
                                     dir_ + "/store"};
    argv.insert(argv.end(), options.begin(), options.end());
    pid_ = fork();
    if (pid_ == 0) {
        if (freopen((dir_ + "/devsim.err").c_str(), "w", stderr) == nullptr) _exit(127);
        std::vector<char *> args;
        for (std::string &arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    // Generous: the machine may be busy with a build.
    for (int i = 0; i < 400 && port().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

SimulatedDevice::~SimulatedDevice() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
}

std::string SimulatedDevice::port() const {
    const std::string text = ReadFile(dir_ + "/port");
    return text.size() > 1 && text.back() == '\n' ? text.substr(0, text.size() - 1) : "";
}

std::string SimulatedDevice::Stored(int block) const {
    char name[32];
    snprintf(name, sizeof name, "/store/block-%05d.bin", block);
    return FileExists(dir_ + name) ? ReadFile(dir_ + name) : "<missing>";
}

}  // namespace testing_support
