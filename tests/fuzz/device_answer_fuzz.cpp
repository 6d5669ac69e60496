// The device's answers to a put message and to a ping: bytes the device
// sends at any moment (triggered by the nth byte the host writes, due after
// any delay), so garbage, late, doubled and unsolicited answers all occur.
//
// Input: a mode byte (bit 0: ping, else a two-record upload), then up to 24
// events of four bytes: trigger (2 bytes, the written-byte number), delay
// (x 10 ms), value.
//
// Invariants: the ping gives 0 or 1, writes only ping commands of eight
// bytes, and all thirty of them before it gives up; the upload gives 0 or
// -3, always sends the first put message whole, logs 0, the first record's
// share or 100, and on success has sent exactly both put messages and the
// exit command.
#include <map>
#include <string>
#include <vector>

#include "device_transfer.h"
#include "fake_libserialport.h"
#include "fuzz_support.h"
#include "globals.h"
#include "map_bytes.h"
#include "serial_link.h"

namespace {

using fakesp::Bytes;

struct Event {
    unsigned int delay_ms;
    unsigned char value;
};

Bytes PutMessage(const std::string &record) {
    // The record less its terminator, behind CMD_PUT, then the checksum.
    Bytes message = {CMD_PUT};
    message.insert(message.end(), record.begin(), record.end() - 1);
    uint32_t checksum = 0;
    for (size_t i = 6; i + 1 < record.size(); ++i) checksum = ChecksumAdd(checksum, static_cast<unsigned char>(record[i]));
    for (int shift = 24; shift >= 0; shift -= 8) message.push_back(static_cast<unsigned char>(checksum >> shift));
    return message;
}

const std::string kFirst = testing_support::MapRecord(1, "first record\x0d\x69");
const std::string kSecond = testing_support::MapRecord(2, std::string(40, '\x69'));
const std::string kMap = "\r" + kFirst + kSecond;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_support::EnterPrivateDirectory();
    fuzz_support::WriteFile(ZEBMAP_FILE, kMap);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_support::Input in(data, size);
    const bool ping = (in.Byte() & 1) != 0;
    std::multimap<size_t, Event> events;
    for (int i = 0; i < 24 && !in.Empty(); ++i) {
        const size_t trigger = in.Word();
        const unsigned int delay_ms = in.Byte() * 10u;
        events.emplace(trigger, Event{delay_ms, in.Byte()});
    }

    fakesp::Reset();
    fakesp::SetRecording(false);
    size_t written = 0;
    fakesp::SetDevice([&events, &written](unsigned char) {
        ++written;
        const auto range = events.equal_range(written);
        for (auto it = range.first; it != range.second; ++it) fakesp::QueueRead({it->second.value}, it->second.delay_ms);
    });

    if (ping) {
        if (SerialConnect("fuzzport") != 0) fuzz_support::Fail("stand-in port did not open");
        const int result = PingWait();
        SerialDisconnect();
        const Bytes &sent = fakesp::Written();
        if (result != 0 && result != 1) fuzz_support::Fail("ping result not 0 or 1");
        if (sent.empty() || sent.size() % 8 != 0 || sent.size() > 8u * MAX_PING_RETRY) fuzz_support::Fail("ping count");
        for (const unsigned char byte : sent) {
            if (byte != CMD_PING) fuzz_support::Fail("ping wrote something else");
        }
        if (result == 1 && sent.size() != 8u * MAX_PING_RETRY) fuzz_support::Fail("gave up before the last retry");
    } else {
        unlink(LOG_FILE);
        const int result = SendResourceZebmapFile("fuzzport");
        if (result != 0 && result != -3) fuzz_support::Fail("upload result not 0 or -3");
        const Bytes &sent = fakesp::Written();
        const Bytes first = PutMessage(kFirst);
        if (sent.size() < first.size() || !std::equal(first.begin(), first.end(), sent.begin())) {
            fuzz_support::Fail("first put message not sent whole");
        }
        std::string log;
        fuzz_support::ReadFile(LOG_FILE, log);
        const int first_share = static_cast<int>((1 + kFirst.size()) * 100 / kMap.size());
        if (log != "0" && log != "100" && log != std::to_string(first_share)) fuzz_support::Fail("log value");
        if (result == 0) {
            Bytes expected = first;
            const Bytes second = PutMessage(kSecond);
            expected.insert(expected.end(), second.begin(), second.end());
            expected.insert(expected.end(), 8, CMD_EXIT);
            if (sent != expected || log != "100") fuzz_support::Fail("success without exactly the map on the wire");
        }
    }
    return 0;
}
