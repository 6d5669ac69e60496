// A pseudo-terminal for end-to-end tests of the serial side: the program
// under test opens the slave path as its serial port (through the pty
// adapter, see PtyAdapterEnv), the test plays the device on the master.
//
//   PtyPair pty;
//   std::thread device([&] { std::string got = pty.ReadExactly(5, 2000); ... });
//   RunResult run = RunProgram({BuildPath("pardulo"), "r", pty.slave_path()},
//                              dir.path(), PtyAdapterEnv());
//   device.join();
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace testing_support {

class PtyPair {
public:
    // Opens a new pty; the slave side is set to raw mode (no echo, no line
    // editing, no character translation) and kept open by this object, so
    // that bytes written to the master before the program opens the port
    // wait in the slave's input and the line stays up between programs.
    // Throws std::runtime_error when no pty can be had.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    // "/dev/pts/N": the port name to give the program.
    const std::string &slave_path() const { return slave_path_; }
    // The device's end. Non-blocking; close-on-exec.
    int master_fd() const { return master_fd_; }

    // Writes all of bytes to the master; false when they could not all be
    // written within timeout_ms.
    bool Write(const std::string &bytes, int timeout_ms = 5000);
    // Returns what arrives within timeout_ms, at most max_bytes; returns as
    // soon as anything has arrived (maybe fewer bytes than asked).
    std::string ReadSome(std::size_t max_bytes, int timeout_ms);
    // Collects exactly count bytes, or what arrived before timeout_ms passed
    // (measured from the call).
    std::string ReadExactly(std::size_t count, int timeout_ms);
    // Reads until nothing arrives for quiet_ms (or the slave is closed).
    std::string ReadUntilQuiet(int quiet_ms);

private:
    int master_fd_ = -1;
    int slave_fd_ = -1;
    std::string slave_path_;
};

// Environment entries for RunProgram that preload the pty adapter, so that
// the real libserialport accepts the pty as a serial port:
// LD_PRELOAD=<build>/libpardulo_pty_adapter.so and ASAN_OPTIONS with
// verify_asan_link_order=0 added to whatever the tests run with.
std::vector<std::string> PtyAdapterEnv();

}  // namespace testing_support
