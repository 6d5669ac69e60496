// Runs a pardulo mode against the simulated device in wrapper mode and reads
// back what happened on the line, for the end-to-end tests of the device modes.
#pragma once

#include <cstdio>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "map_bytes.h"
#include "pty_helper.h"
#include "test_support.h"

namespace testing_support {

struct Transfer {
    long long micros;
    char direction;  // 'H' host to device, 'D' device to host
    unsigned char byte;
};

inline std::vector<Transfer> ParseTranscript(const std::string &text) {
    std::vector<Transfer> transfers;
    for (const std::string &line : Lines(text)) {
        long long micros = 0;
        char direction = 0;
        unsigned int byte = 0;
        if (sscanf(line.c_str(), "%lld %c %x", &micros, &direction, &byte) == 3)
            transfers.push_back({micros, direction, static_cast<unsigned char>(byte)});
    }
    return transfers;
}

struct DeviceRun {
    RunResult run;
    std::string port;                 // the pty the device sat on
    std::vector<Transfer> transcript;  // every byte on the line
    std::vector<std::string> out;      // pardulo's standard output, line by line

    Bytes Sent(char direction) const {
        Bytes bytes;
        for (const Transfer &t : transcript)
            if (t.direction == direction) bytes.push_back(t.byte);
        return bytes;
    }
    // Seconds from the device's n-th answer to the host's next byte.
    double PauseAfterAnswer(std::size_t n) const {
        std::size_t seen = 0;
        for (std::size_t i = 0; i < transcript.size(); ++i) {
            if (transcript[i].direction != 'D' || seen++ != n) continue;
            for (std::size_t j = i + 1; j < transcript.size(); ++j)
                if (transcript[j].direction == 'H')
                    return static_cast<double>(transcript[j].micros - transcript[i].micros) / 1e6;
        }
        return -1;
    }
    // Seconds between the host's a-th and b-th bytes (counted from 0).
    double SecondsBetweenHostBytes(std::size_t a, std::size_t b) const {
        std::vector<long long> host;
        for (const Transfer &t : transcript)
            if (t.direction == 'H') host.push_back(t.micros);
        if (a >= host.size() || b >= host.size()) return -1;
        return static_cast<double>(host[b] - host[a]) / 1e6;
    }
    // Pardulo's lines from the upload on (after the map check).
    std::vector<std::string> UploadLines() const {
        for (std::size_t i = 0; i < out.size(); ++i)
            if (out[i].rfind("Working on port ", 0) == 0) return {out.begin() + static_cast<long>(i), out.end()};
        return {};
    }
};

// Runs `pardulo <mode> {port}` against the simulated device with the given
// options; the device keeps its records in dir/store.
inline DeviceRun RunWithDevice(const TempDir &dir, const std::vector<std::string> &device_options,
                        const std::string &mode = "p", double timeout_s = 60) {
    std::vector<std::string> argv = {BuildPath("pardulo-devsim"), "--store", dir.file("store"), "--transcript",
                                     dir.file("transcript.txt")};
    argv.insert(argv.end(), device_options.begin(), device_options.end());
    for (const std::string &arg : {std::string("--"), BuildPath("pardulo"), mode, std::string("{port}")})
        argv.push_back(arg);
    // The device preloads the adapter itself; the sanitizer must accept that.
    std::vector<std::string> env;
    for (const std::string &entry : PtyAdapterEnv())
        if (entry.rfind("ASAN_OPTIONS=", 0) == 0) env.push_back(entry);

    DeviceRun result;
    result.run = RunProgram(argv, dir.path(), env, timeout_s);
    result.transcript = ParseTranscript(ReadFile(dir.file("transcript.txt")));
    result.out = Lines(result.run.out);
    std::smatch match;
    if (std::regex_search(result.run.err, match, std::regex("devsim: port (\\S+)"))) result.port = match[1];
    return result;
}

// One run of RunWithDevices: its own folder, device options and mode.
struct DeviceRunPlan {
    const TempDir *dir;
    std::vector<std::string> device_options;
    std::string mode = "p";
    double timeout_s = 60;
};

// Runs every plan at the same time, each against a device of its own, and
// returns the runs in the order of the plans. The runs of a fault table spend
// nearly all their time in the host's pauses and waits, so a table takes as
// long as its slowest row.
inline std::vector<DeviceRun> RunWithDevices(const std::vector<DeviceRunPlan> &plans) {
    std::vector<std::future<DeviceRun>> pending;
    for (const DeviceRunPlan &plan : plans) {
        pending.push_back(std::async(std::launch::async, [&plan] {
            return RunWithDevice(*plan.dir, plan.device_options, plan.mode, plan.timeout_s);
        }));
    }
    std::vector<DeviceRun> runs;
    for (auto &run : pending) runs.push_back(run.get());
    return runs;
}

}  // namespace testing_support
