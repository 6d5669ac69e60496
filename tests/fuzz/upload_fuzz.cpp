// The upload's map reader and record loop on arbitrary maps, against a
// device behind the link stand-in that reads put messages the way the real
// one does (the simulator's own model). How the device answers each record
// comes from the input too: silent, late, twice, or any byte.
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
#include <set>
#include <string>
#include <vector>

#include "device_transfer.h"
#include "device_model.h"
#include "fake_libserialport.h"
#include "fuzz_support.h"
#include "globals.h"
#include "model_device.h"
#include "resource_map.h"

namespace {

// The device is the simulator's own model behind the link stand-in. A
// scripted answer other than 0x69 is sent as it is; a scripted 0x69 is the
// healthy device's answer, so a message whose checksum does not match its
// data (the map ended inside the data and the framing broke) is refused.
devsim::Faults ScriptedAnswers(fuzz_support::Input &in, std::set<uint64_t> &twice) {
    devsim::Faults faults;
    const uint64_t scripts = in.Byte() % 8;
    for (uint64_t put = 1; put <= scripts; ++put) {
        const uint8_t control = in.Byte();
        const uint8_t value = in.Byte();
        devsim::AnswerRule rule;
        if ((control & 1) != 0) {
            rule.kind = devsim::AnswerRule::Kind::Silent;
        } else if (value != RESPONSE_OK) {
            rule.kind = devsim::AnswerRule::Kind::Byte;
            rule.byte = value;
        }
        faults.answer_for_record[put] = rule;
        faults.answer_delay_for_record[put] = (control >> 2) * 20;
        if ((control & 2) != 0) twice.insert(put);
    }
    return faults;
}

// What the device stored, in the order it accepted it: each record as it
// stands in a map.
std::string Received(const fakesp::ModelDevice &device) {
    std::string received;
    for (const devsim::Record &record : device.accepted) {
        const auto size = static_cast<uint32_t>(record.data.size());
        const char header[6] = {static_cast<char>(record.block >> 8), static_cast<char>(record.block & 0xFF),
                                static_cast<char>(size >> 24),        static_cast<char>((size >> 16) & 0xFF),
                                static_cast<char>((size >> 8) & 0xFF), static_cast<char>(size & 0xFF)};
        received.append(header, sizeof header);
        received.append(record.data.begin(), record.data.end());
        received += '\r';
    }
    return received;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_support::EnterPrivateDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_support::Input in(data, size);
    fakesp::Reset();
    fakesp::SetRecording(false);
    std::set<uint64_t> twice;
    fakesp::ModelDevice device(ScriptedAnswers(in, twice));
    device.answer_twice_for_put = twice;
    const std::string map = in.Rest();
    fuzz_support::WriteFile(ZEBMAP_FILE, map);
    unlink(LOG_FILE);

    const int result = SendResourceZebmapFile("fuzzport");

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
    if (framed && device.model().checksum_mismatches() != 0) fuzz_support::Fail("checksum on the wire does not match the data");

    if (result == 0) {
        const std::string &sent = records;
        const std::string got = Received(device);
        const bool same = got == sent || (got.size() == sent.size() + 1 && got.compare(0, sent.size(), sent) == 0);
        if (!same) fuzz_support::Fail("success reported but the device did not get the map's records");
    }
    return 0;
}
