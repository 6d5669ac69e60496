// Reading the production station's record lines in tests, and what a
// simulated device's own status.txt says its record must be.
#pragma once

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace testing_support {

// The value of one field of a record line as JSON ("null", "\"ok\"", "3").
inline std::string RecordField(const std::string &line, const std::string &name) {
    const auto record = nlohmann::json::parse(line, nullptr, false);
    return record.is_object() && record.contains(name) ? record[name].dump() : "<absent>";
}

// The reason a device's record must give, from the device's status.txt:
// "" for a device that got the whole map.
inline std::string ReasonOfDeviceStatus(const std::string &status) {
    if (status.find("pulled yes\n") != std::string::npos) return "no answer";
    std::istringstream lines(status);
    for (std::string word, put, block, answer; lines >> word;) {
        if (word != "refused") continue;
        lines >> put >> block >> answer;
        return answer == "none" ? "no answer" : "refused: answer " + answer;
    }
    return "";
}

// The upload seconds of the records that are ok: "mean M s (min A, max B,
// N devices)", for the line tests' figures.
inline std::string OkSecondsSummary(const std::vector<std::string> &records) {
    std::vector<double> seconds;
    for (const std::string &line : records) {
        if (RecordField(line, "result") == "\"ok\"") seconds.push_back(std::stod(RecordField(line, "seconds")));
    }
    if (seconds.empty()) return "no device ok";
    double sum = 0;
    for (const double s : seconds) sum += s;
    char text[128];
    snprintf(text, sizeof text, "mean %.2f s (min %.2f, max %.2f, %zu devices)", sum / static_cast<double>(seconds.size()),
             *std::min_element(seconds.begin(), seconds.end()), *std::max_element(seconds.begin(), seconds.end()),
             seconds.size());
    return text;
}

}  // namespace testing_support
