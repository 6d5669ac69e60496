#include "device_model.h"

#include <algorithm>
#include <cstdio>

#include "globals.h"

namespace devsim {

namespace {

constexpr uint32_t kChecksumResetAbove = 0x7FFFFF00u;
constexpr int kSpecialCopies = 8;

bool IsSpecialCommand(uint8_t byte) { return byte == CMD_PING || byte == CMD_ERASE || byte == CMD_EXIT; }

const char *SpecialName(uint8_t byte) {
    switch (byte) {
    case CMD_PING: return "ping";
    case CMD_ERASE: return "erase";
    case CMD_EXIT: return "exit";
    default: return "?";
    }
}

}  // namespace

std::string HexByte(uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(byte));
    return text;
}

uint32_t ChecksumStep(uint32_t accumulator, uint8_t byte) {
    if (accumulator > kChecksumResetAbove) accumulator = 0;
    return accumulator + byte;
}

uint32_t RecordChecksum(const uint8_t *data, size_t size) {
    uint32_t accumulator = 0;
    for (size_t i = 0; i < size; ++i) accumulator = ChecksumStep(accumulator, data[i]);
    return accumulator;
}

AnswerRule Faults::AnswerFor(uint64_t record) const {
    const auto it = answer_for_record.find(record);
    return it != answer_for_record.end() ? it->second : answer;
}

int Faults::AnswerDelayFor(uint64_t record) const {
    const auto it = answer_delay_for_record.find(record);
    return it != answer_delay_for_record.end() ? it->second : answer_delay_ms;
}

PingRule Faults::PingFor(uint64_t attempt) const {
    const auto it = ping_for_attempt.find(attempt);
    return it != ping_for_attempt.end() ? it->second : ping;
}

DeviceModel::DeviceModel(Faults faults) : faults_(std::move(faults)) {}

bool DeviceModel::InPut() const {
    return state_ == State::PutHeader || state_ == State::PutData || state_ == State::PutChecksum;
}

Step DeviceModel::Consume(uint8_t byte) {
    // A byte belongs to a put message when one was under way or it began one.
    const bool in_put = InPut();
    Step step = ConsumeByte(byte);
    if (in_put || InPut()) ++put_bytes_;
    return step;
}

Step DeviceModel::ConsumeByte(uint8_t byte) {
    switch (state_) {
    case State::Idle:
        return StartMessage(byte);

    case State::PutHeader:
    case State::GetHeader:
        return ConsumeHeaderByte(byte);

    case State::PutData:
        // The data grow as they arrive: a corrupt size must not make the
        // device reserve gigabytes before a single byte came.
        data_.push_back(byte);
        checksum_ = ChecksumStep(checksum_, byte);
        if (++received_size_ == size_) state_ = State::PutChecksum;
        return {};

    case State::PutChecksum:
        sent_checksum_ = (sent_checksum_ << 8) | byte;
        if (++checksum_len_ < 4) return {};
        state_ = State::Idle;
        return FinishPut();

    case State::Special:
        if (byte == special_byte_) {
            if (++special_count_ < kSpecialCopies) return {};
            state_ = State::Idle;
            return FinishSpecial();
        } else {
            // A special command cut short: the byte that broke the run
            // starts the next message.
            const std::string dropped = std::string("incomplete ") + SpecialName(special_byte_) +
                                        " command (" + std::to_string(special_count_) + " of 8) dropped";
            state_ = State::Idle;
            Step step = StartMessage(byte);
            step.note = step.note.empty() ? dropped : dropped + "; " + step.note;
            return step;
        }
    }
    return {};
}

Step DeviceModel::ConsumeHeaderByte(uint8_t byte) {
    header_[header_len_++] = byte;
    if (header_len_ < sizeof header_) return {};
    // Decoded here on purpose, not with the program's map_format: this is
    // the other side of the line, and reading the header its own way is
    // what lets it catch a fault in how the program writes it.
    block_ = static_cast<uint16_t>((header_[0] << 8) | header_[1]);
    size_ = (uint32_t{header_[2]} << 24) | (uint32_t{header_[3]} << 16) | (uint32_t{header_[4]} << 8) |
            uint32_t{header_[5]};
    if (state_ == State::GetHeader) {
        state_ = State::Idle;
        return FinishGet();
    }
    data_.clear();
    received_size_ = 0;
    checksum_ = 0;
    sent_checksum_ = 0;
    checksum_len_ = 0;
    state_ = size_ == 0 ? State::PutChecksum : State::PutData;
    return {};
}

Step DeviceModel::StartMessage(uint8_t byte) {
    Step step;
    if (byte == CMD_PUT) {
        state_ = State::PutHeader;
        header_len_ = 0;
    } else if (byte == CMD_GET) {
        state_ = State::GetHeader;
        header_len_ = 0;
    } else if (IsSpecialCommand(byte)) {
        state_ = State::Special;
        special_byte_ = byte;
        special_count_ = 1;
        if (byte == CMD_PING) {
            ++pings_;
            current_ping_ = faults_.PingFor(pings_);
            if (current_ping_.kind == PingRule::Kind::Early) {
                step.reply = {CMD_PING};
                step.note = "ping " + std::to_string(pings_) + " answered early, after the first copy";
            }
        }
    } else {
        step.note = "ignored byte " + HexByte(byte) + " outside any message";
    }
    return step;
}

Step DeviceModel::FinishPut() {
    const uint64_t number = ++put_messages_;
    const AnswerRule rule = faults_.AnswerFor(number);
    const bool checksum_ok = checksum_ == sent_checksum_;
    if (!checksum_ok) ++checksum_mismatches_;

    Step step;
    switch (rule.kind) {
    case AnswerRule::Kind::ByChecksum:
        step.reply = {checksum_ok ? RESPONSE_OK : RESPONSE_KO_CHECKSUM};
        break;
    case AnswerRule::Kind::Ok: step.reply = {RESPONSE_OK}; break;
    case AnswerRule::Kind::KoChecksum: step.reply = {RESPONSE_KO_CHECKSUM}; break;
    case AnswerRule::Kind::KoFlash: step.reply = {RESPONSE_KO_FLASH}; break;
    case AnswerRule::Kind::Byte: step.reply = {rule.byte}; break;
    case AnswerRule::Kind::Silent: break;
    }
    step.reply_delay_ms = step.reply.empty() ? 0 : faults_.AnswerDelayFor(number);
    if (faults_.answer_twice && !step.reply.empty()) step.reply.push_back(step.reply[0]);

    // The device keeps exactly the records it reports as written.
    const bool kept = !step.reply.empty() && step.reply[0] == RESPONSE_OK;
    step.note = "put " + std::to_string(number) + ": block " + std::to_string(block_) + " size " +
                std::to_string(size_) + " checksum " + std::to_string(sent_checksum_) +
                (checksum_ok ? " (matches)" : " (computed " + std::to_string(checksum_) + ")") +
                (step.reply.empty() ? ", no answer" : ", answer " + HexByte(step.reply[0])) +
                (step.reply_delay_ms > 0 ? " after " + std::to_string(step.reply_delay_ms) + " ms" : "") +
                (kept ? ", kept" : "");
    if (kept) {
        const auto corrupt = faults_.corrupt_block.find(block_);
        if (corrupt != faults_.corrupt_block.end() && !data_.empty()) {
            data_[std::min<size_t>(corrupt->second, data_.size() - 1)] ^= 0xFF;
            step.note += " (corrupted)";
        }
        Keep(Record{block_, std::move(data_), checksum_});
        data_.clear();
        step.records_changed = true;
    } else {
        Refusal refusal{number, block_, std::nullopt};
        if (!step.reply.empty()) refusal.answer = step.reply[0];
        refusals_.push_back(refusal);
    }
    step.put_complete = true;
    return step;
}

// A get request reads back the record the device holds for its block, at
// most the size asked for; the screenshot block, when no record holds it,
// is the screenshot; any other block gets no answer at all.
Step DeviceModel::FinishGet() {
    Step step;
    step.note = "get request block " + std::to_string(block_) + " size " + std::to_string(size_);
    const auto held = std::find_if(records_.begin(), records_.end(), [&](const Record &r) { return r.block == block_; });
    if (held != records_.end()) {
        const size_t count = std::min<size_t>(held->data.size(), size_);
        step.reply.assign(held->data.begin(), held->data.begin() + static_cast<std::ptrdiff_t>(count));
        step.note += ": " + std::to_string(count) + " bytes read back";
    } else if (block_ == SCREENSHOT_BLOCK) {
        step.start_stream = true;
    } else {
        step.note += ": no such block, no answer";
    }
    return step;
}

Step DeviceModel::FinishSpecial() {
    Step step;
    if (special_byte_ == CMD_PING) {
        const std::string name = "ping " + std::to_string(pings_);
        switch (current_ping_.kind) {
        case PingRule::Kind::Normal:
            step.reply = {CMD_PING};
            step.note = name + " answered";
            break;
        case PingRule::Kind::Byte:
            step.reply = {current_ping_.byte};
            step.note = name + " answered " + HexByte(current_ping_.byte);
            break;
        case PingRule::Kind::Silent: step.note = name + " left unanswered"; break;
        case PingRule::Kind::Early: step.note = name + " complete (answered early)"; break;
        }
    } else if (special_byte_ == CMD_ERASE) {
        step.records_changed = !records_.empty();
        step.note = "erase: " + std::to_string(records_.size()) + " record(s) forgotten";
        records_.clear();
    } else {
        step.session_end = true;
        exit_received_ = true;
        step.note = "exit: session ended";
    }
    return step;
}

void DeviceModel::Keep(Record record) {
    records_.erase(std::remove_if(records_.begin(), records_.end(),
                                  [&](const Record &r) { return r.block == record.block; }),
                   records_.end());
    records_.push_back(std::move(record));
}

std::string DeviceModel::AbandonPartialMessage() {
    std::string note;
    switch (state_) {
    case State::Idle: return "";
    case State::PutHeader: note = "put message dropped inside its header"; break;
    case State::PutData:
        note = "put message for block " + std::to_string(block_) + " dropped after " +
               std::to_string(received_size_) + " of " + std::to_string(size_) + " data bytes";
        break;
    case State::PutChecksum:
        note = "put message for block " + std::to_string(block_) + " dropped inside its checksum";
        break;
    case State::GetHeader: note = "get request dropped inside its header"; break;
    case State::Special:
        note = std::string("incomplete ") + SpecialName(special_byte_) + " command (" +
               std::to_string(special_count_) + " of 8) dropped";
        break;
    }
    state_ = State::Idle;
    data_.clear();
    data_.shrink_to_fit();
    return note;
}

}  // namespace devsim
