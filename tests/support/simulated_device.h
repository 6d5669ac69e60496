// A pardulo-devsim of its own in the background, on its own pseudo-terminal,
// keeping its accepted records in DIR/store, until the object is destroyed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

class SimulatedDevice {
public:
    // Starts the device with its files in dir (created) and the given extra
    // options; waits until it has published its port.
    explicit SimulatedDevice(const std::string &dir, const std::vector<std::string> &options = {});
    ~SimulatedDevice();  // SIGTERM, then waits: the store is complete afterwards
    SimulatedDevice(const SimulatedDevice &) = delete;
    SimulatedDevice &operator=(const SimulatedDevice &) = delete;

    // The pty path to hand to the host program; "" until the device is up.
    std::string port() const;
    // The data the device keeps for block, or "<missing>".
    std::string Stored(int block) const;

private:
    std::string dir_;
    pid_t pid_ = -1;
};

}  // namespace testing_support
