// The upload's map reader and record loop on arbitrary maps, against a
// device behind the link stand-in that reads put messages the way the real
// one does. How the device answers each record comes from the input too:
// silent, late, twice, or any byte.
//
// Input: a count n (0..7), n answer scripts of two bytes (control, value),
// then the map. Records past the scripts are answered 0x69 at once.
// Control: bit 0 = no answer, bit 1 = answer twice, bits 2..7 = delay in
// steps of 20 ms (0..1260 ms, so both sides of the 500 ms time-out).
//
// Invariants: the upload returns 0 or -3 (the map is a regular file and the
// port opens); on a map framed correctly every checksum the device receives
// matches the data it received; the exit command always ends the
// conversation; the progress log holds a number from 0 to 100, and 100 after
// a successful upload of a map with records; and when the upload reports
// success, the device received exactly the records of the map, every byte,
// in order.
#include <algorithm>
#include <string>
#include <vector>

#include "device_transfer.h"
#include "fake_libserialport.h"
#include "fuzz_support.h"
#include "globals.h"
#include "resource_map.h"

namespace {

struct AnswerScript {
    bool silent = false;
    bool twice = false;
    unsigned int delay_ms = 0;
    unsigned char value = RESPONSE_OK;
};

// The device's side of a put message.
class Device {
public:
    explicit Device(std::vector<AnswerScript> scripts) : scripts_(std::move(scripts)) {}

    void OnByte(unsigned char byte) {
        switch (state_) {
            case State::kIdle:
                if (byte == CMD_PUT) {
                    state_ = State::kHeader;
                    header_.clear();
                }
                break;
            case State::kHeader:
                header_.push_back(static_cast<char>(byte));
                if (header_.size() == 6) {
                    const auto *h = reinterpret_cast<const unsigned char *>(header_.data());
                    remaining_ = uint32_t{h[2]} << 24 | uint32_t{h[3]} << 16 | uint32_t{h[4]} << 8 | h[5];
                    data_.clear();
                    checksum_ = 0;
                    state_ = remaining_ == 0 ? State::kChecksum : State::kData;
                    sent_checksum_ = 0;
                    checksum_bytes_ = 0;
                }
                break;
            case State::kData:
                data_.push_back(static_cast<char>(byte));
                checksum_ = ChecksumAdd(checksum_, byte);
                if (--remaining_ == 0) state_ = State::kChecksum;
                break;
            case State::kChecksum:
                sent_checksum_ = sent_checksum_ << 8 | byte;
                if (++checksum_bytes_ == 4) {
                    state_ = State::kIdle;
                    Answer();
                }
                break;
        }
    }

    const std::string &Received() const { return received_; }
    bool ChecksumMismatch() const { return checksum_mismatch_; }

private:
    enum class State { kIdle, kHeader, kData, kChecksum };

    void Answer() {
        AnswerScript script = next_ < scripts_.size() ? scripts_[next_] : AnswerScript{};
        ++next_;
        if (sent_checksum_ != checksum_) {
            // A message shorter than its header said (the map ended inside
            // the data) is framed differently here; the device says so.
            checksum_mismatch_ = true;
            script.value = RESPONSE_KO_CHECKSUM;
        }
        // What the device would have stored: the record as it stands in a map.
        if (!script.silent && script.value == RESPONSE_OK) received_ += header_ + data_ + '\r';
        if (script.silent) return;
        fakesp::QueueRead({script.value}, script.delay_ms);
        if (script.twice) fakesp::QueueRead({script.value}, script.delay_ms);
    }

    std::vector<AnswerScript> scripts_;
    size_t next_ = 0;
    State state_ = State::kIdle;
    std::string header_;
    std::string data_;
    uint32_t remaining_ = 0;
    uint32_t checksum_ = 0;
    uint32_t sent_checksum_ = 0;
    int checksum_bytes_ = 0;
    std::string received_;
    bool checksum_mismatch_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_support::EnterPrivateDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_support::Input in(data, size);
    std::vector<AnswerScript> scripts(in.Byte() % 8);
    for (AnswerScript &script : scripts) {
        const uint8_t control = in.Byte();
        script.silent = (control & 1) != 0;
        script.twice = (control & 2) != 0;
        script.delay_ms = (control >> 2) * 20u;
        script.value = in.Byte();
    }
    const std::string map = in.Rest();
    fuzz_support::WriteFile(ZEBMAP_FILE, map);
    unlink(LOG_FILE);

    fakesp::Reset();
    fakesp::SetRecording(false);
    Device device(scripts);
    fakesp::SetDevice([&device](unsigned char byte) { device.OnByte(byte); });

    const int result = SendResourceZebmapFile("fuzzport");
    fakesp::SetDevice(nullptr);

    if (result != 0 && result != -3) fuzz_support::Fail("upload result not 0 or -3");
    const fakesp::Bytes &wire = fakesp::Written();
    if (wire.size() < 8 || !std::all_of(wire.end() - 8, wire.end(), [](unsigned char b) { return b == CMD_EXIT; })) {
        fuzz_support::Fail("the conversation does not end with the exit command");
    }

    std::string log;
    if (!fuzz_support::ReadFile(LOG_FILE, log)) fuzz_support::Fail("no progress log after the port opened");
    const int logged = atoi(log.c_str());
    if (log.empty() || logged < 0 || logged > 100) fuzz_support::Fail("progress log out of 0..100");
    // The records begin after the first line, which ends at the first 13.
    const size_t first_line_end = map.find(static_cast<char>(TERMINATOR));
    const std::string records = first_line_end == std::string::npos ? std::string() : map.substr(first_line_end + 1);
    if (result == 0 && !records.empty() && logged != 100) fuzz_support::Fail("success without 100 in the log");
    if (result == 0 && first_line_end == std::string::npos && !map.empty())
        fuzz_support::Fail("success on a map whose first line never ends");

    // On a map framed correctly every message is as long as its header says,
    // so every checksum must match.
    const bool framed = ReadResourceZebmapFile() == 0;
    if (framed && device.ChecksumMismatch()) fuzz_support::Fail("checksum on the wire does not match the data");

    if (result == 0) {
        const std::string &sent = records;
        const std::string &got = device.Received();
        const bool same = got == sent || (got.size() == sent.size() + 1 && got.compare(0, sent.size(), sent) == 0);
        if (!same) fuzz_support::Fail("success reported but the device did not get the map's records");
    }
    return 0;
}
