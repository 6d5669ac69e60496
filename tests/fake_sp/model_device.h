// The simulated device's own model (testbed/devsim/device_model.*) behind the
// link stand-in: every byte the link writes goes to the model, and what the
// model answers is queued for reading after the delay it asks for. Unit tests
// and fuzz targets script the device through the model's fault options, so
// there is one reading of put messages on the device side, not one per test.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include "device_model.h"
#include "fake_libserialport.h"

namespace fakesp {

class ModelDevice {
public:
    // Installs itself as the stand-in's device; uninstalls when destroyed.
    explicit ModelDevice(devsim::Faults faults = {});
    ~ModelDevice();
    ModelDevice(const ModelDevice &) = delete;
    ModelDevice &operator=(const ModelDevice &) = delete;

    const devsim::DeviceModel &model() const { return model_; }

    // Put messages (counted from 1) whose answer goes out twice in a row.
    std::set<uint64_t> answer_twice_for_put;
    // Called when a put message begins, before its first byte is taken.
    std::function<void()> on_put_start;

    // Every record the device accepted, in order, repeats included (the
    // model keeps only the latest one per block).
    std::vector<devsim::Record> accepted;
    // Program clock (milliseconds) at each byte's arrival and at the moment
    // each answer was due.
    std::vector<uint64_t> arrival_ms;
    std::vector<uint64_t> answered_ms;

private:
    void Take(unsigned char byte);

    devsim::DeviceModel model_;
};

}  // namespace fakesp
