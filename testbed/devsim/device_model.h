// The simulated display device's side of the command protocol, without any
// I/O: it takes the host's bytes one at a time and says what the device does
// in return (answer bytes, a screenshot stream, the end of a session), with
// the faults it was told to inject. The pty loop in pty_device.cpp drives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace devsim {

// The record checksum, exactly as the host computes it: an unsigned 32-bit
// accumulator that is reset to 0 before a byte is added whenever it exceeds
// 0x7FFFFF00; bytes add as 0..255.
uint32_t ChecksumStep(uint32_t accumulator, uint8_t byte);
uint32_t RecordChecksum(const uint8_t *data, size_t size);

// How the device answers one put message.
struct AnswerRule {
    enum class Kind {
        ByChecksum,  // 0x69 when the checksum matches, 0x79 otherwise (a healthy device)
        Ok,          // 0x69 whatever the checksum
        KoChecksum,  // 0x79
        KoFlash,     // 0x89
        Byte,        // any byte, `byte`
        Silent,      // no answer at all
    };
    Kind kind = Kind::ByChecksum;
    uint8_t byte = 0;
};

// How the device answers one ping (eight CMD_PING bytes).
struct PingRule {
    enum class Kind {
        Normal,  // 0x03 after the eighth copy
        Byte,    // `byte` after the eighth copy
        Silent,  // nothing
        Early,   // 0x03 right after the first copy, nothing after the eighth
    };
    Kind kind = Kind::Normal;
    uint8_t byte = 0;
};

// Faults chosen for the whole session or for one put message / ping, counted
// from 1 in the order the device received them since it started.
struct Faults {
    AnswerRule answer;
    std::map<uint64_t, AnswerRule> answer_for_record;
    int answer_delay_ms = 0;
    std::map<uint64_t, int> answer_delay_for_record;
    bool answer_twice = false;  // every put answer goes out two times in a row
    // A flash write gone wrong unnoticed: the record of block B is answered
    // 0x69 but kept with its byte K (the last one in a shorter record)
    // inverted, so that only reading it back finds the fault.
    std::map<uint16_t, uint32_t> corrupt_block;
    PingRule ping;
    std::map<uint64_t, PingRule> ping_for_attempt;

    AnswerRule AnswerFor(uint64_t record) const;
    int AnswerDelayFor(uint64_t record) const;
    PingRule PingFor(uint64_t attempt) const;
};

// One record the device accepted (answered 0x69) and keeps.
struct Record {
    uint16_t block = 0;
    std::vector<uint8_t> data;
    uint32_t checksum = 0;  // as the device computed it over `data`
};

// A put message the device did not answer with 0x69.
struct Refusal {
    uint64_t put = 0;              // its number, from 1
    uint16_t block = 0;
    std::optional<uint8_t> answer;  // none when the device stayed silent
};

// What the device does after one byte from the host.
struct Step {
    std::vector<uint8_t> reply;  // bytes to send back, possibly none
    int reply_delay_ms = 0;      // how long to wait before sending them
    bool start_stream = false;   // a get request for the screenshot is complete: stream it
    bool session_end = false;    // the exit command is complete
    bool records_changed = false;
    bool put_complete = false;   // a put message was answered (or left unanswered)
    std::string note;            // what happened, for the verbose log; "" when nothing did
};

class DeviceModel {
public:
    explicit DeviceModel(Faults faults = {});

    Step Consume(uint8_t byte);

    // True while a message has begun and is not complete yet.
    bool InMessage() const { return state_ != State::Idle; }
    // Forgets a message left half-way (the host went quiet inside it); returns
    // a note, or "" when there was nothing to drop.
    std::string AbandonPartialMessage();

    // Accepted records, one per block, in the order of their last acceptance.
    const std::vector<Record> &records() const { return records_; }
    uint64_t put_messages() const { return put_messages_; }
    uint64_t pings() const { return pings_; }
    // Bytes of put messages received so far, each from its CMD_PUT on.
    uint64_t put_bytes() const { return put_bytes_; }
    const std::vector<Refusal> &refusals() const { return refusals_; }
    bool exit_received() const { return exit_received_; }
    // Put messages whose checksum did not match their data, whatever the answer.
    uint64_t checksum_mismatches() const { return checksum_mismatches_; }

private:
    enum class State { Idle, PutHeader, PutData, PutChecksum, GetHeader, Special };

    bool InPut() const;
    Step ConsumeByte(uint8_t byte);
    Step ConsumeHeaderByte(uint8_t byte);  // the 6 bytes of block and size after CMD_PUT or CMD_GET
    Step StartMessage(uint8_t byte);
    Step FinishPut();
    Step FinishSpecial();
    Step FinishGet();
    void Keep(Record record);

    Faults faults_;
    State state_ = State::Idle;
    uint8_t header_[6] = {};
    size_t header_len_ = 0;
    uint16_t block_ = 0;
    uint32_t size_ = 0;
    uint32_t received_size_ = 0;
    std::vector<uint8_t> data_;
    uint32_t checksum_ = 0;
    uint32_t sent_checksum_ = 0;
    size_t checksum_len_ = 0;
    uint8_t special_byte_ = 0;
    int special_count_ = 0;
    PingRule current_ping_;

    std::vector<Record> records_;
    uint64_t put_messages_ = 0;
    uint64_t pings_ = 0;
    uint64_t put_bytes_ = 0;
    std::vector<Refusal> refusals_;
    bool exit_received_ = false;
    uint64_t checksum_mismatches_ = 0;
};

std::string HexByte(uint8_t byte);  // "0x69"

}  // namespace devsim
