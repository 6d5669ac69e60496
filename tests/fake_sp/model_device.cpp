#include "model_device.h"

#include <utility>

#include "globals.h"
#include "platform_time.h"

namespace fakesp {

ModelDevice::ModelDevice(devsim::Faults faults) : model_(std::move(faults)) {
    SetDevice([this](unsigned char byte) { Take(byte); });
}

ModelDevice::~ModelDevice() { SetDevice(nullptr); }

void ModelDevice::Take(unsigned char byte) {
    const uint64_t now = MonotonicMs();
    arrival_ms.push_back(now);
    if (!model_.InMessage() && byte == CMD_PUT && on_put_start) on_put_start();

    const uint64_t puts_before = model_.put_messages();
    devsim::Step step = model_.Consume(byte);
    const bool put_ended = model_.put_messages() != puts_before;
    if (put_ended && step.records_changed) accepted.push_back(model_.records().back());
    if (step.reply.empty()) return;
    if (put_ended && answer_twice_for_put.count(model_.put_messages()) != 0) step.reply.push_back(step.reply[0]);
    answered_ms.push_back(now + static_cast<uint64_t>(step.reply_delay_ms));
    QueueRead(step.reply, static_cast<unsigned int>(step.reply_delay_ms));
}

}  // namespace fakesp
