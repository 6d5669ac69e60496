// The station's web side as its tests reach it, whichever build serves it
// (the Linux program, or the Windows one under Wine).
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>
#include <thread>

#include <nlohmann/json.hpp>

#include "test_support.h"

namespace testing_support {

// Polls condition every 50 ms for at most seconds; true once it holds.
template <typename Condition>
bool Eventually(Condition condition, double seconds = 60) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// The port the station serves on, from what it says on standard error
// (err_file); -1 when it has not said so within seconds.
inline int ServedPort(const std::string &err_file, double seconds = 20) {
    const std::string served = "pardulo-station: serving http://127.0.0.1:";
    std::string err;
    std::size_t at = std::string::npos;
    Eventually([&] { err = ReadFile(err_file); return (at = err.find(served)) != std::string::npos; }, seconds);
    return at == std::string::npos ? -1 : std::atoi(err.c_str() + at + served.size());
}

// GET path as JSON (null when there is no answer or it is no JSON), and its status.
inline nlohmann::json GetJson(int port, const std::string &path, int *status = nullptr) {
    httplib::Client client("127.0.0.1", port);
    const auto answer = client.Get(path.c_str());
    if (status != nullptr) *status = answer ? answer->status : -1;
    return answer ? nlohmann::json::parse(answer->body, nullptr, false) : nlohmann::json();
}

// A bare connection to the station's port, for a client that misbehaves
// (asks and never reads, say); -1 when it cannot be made.
inline int ConnectTo(int port) {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sock >= 0 && connect(sock, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) return sock;
    if (sock >= 0) close(sock);
    return -1;
}

// Every line of a record file, each as its JSON.
inline nlohmann::json RecordsOfFile(const std::string &path) {
    nlohmann::json records = nlohmann::json::array();
    for (const std::string &line : Lines(ReadFile(path))) records.push_back(nlohmann::json::parse(line));
    return records;
}

// POST path with body, "Bearer TOKEN" when token is not empty; the answer
// as JSON (null for none) and its status.
inline nlohmann::json PostJson(int port, const std::string &path, const std::string &token, const std::string &body,
                               int *status = nullptr) {
    httplib::Client client("127.0.0.1", port);
    httplib::Headers headers;
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    const auto answer = client.Post(path.c_str(), headers, body, "application/json");
    if (status != nullptr) *status = answer ? answer->status : -1;
    return answer ? nlohmann::json::parse(answer->body, nullptr, false) : nlohmann::json();
}

// A fixture's name in a path.
inline std::string PathPart(const std::string &name) {
    std::string encoded;
    for (const unsigned char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.';
        char escape[4];
        snprintf(escape, sizeof escape, "%%%02X", c);
        encoded += plain ? std::string(1, static_cast<char>(c)) : std::string(escape);
    }
    return encoded;
}

// The rows of a CSV text (RFC 4180: quoted fields, "" inside them, CRLF).
inline std::vector<std::vector<std::string>> CsvRows(const std::string &text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += text[++i];
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',' || c == '\r') {
            if (c == ',' || (i + 1 < text.size() && text[i + 1] == '\n')) rows.back().push_back(field), field.clear();
            if (c == '\r') rows.emplace_back(), ++i;
        } else {
            field += c;
        }
    }
    if (rows.back().empty()) rows.pop_back();
    return rows;
}

// "" when the CSV holds exactly the records (null lines left out), field
// for field, a text that starts like a formula with a ' before it; else
// what differs.
inline std::string CsvDiffersFrom(const std::string &csv, const nlohmann::json &records) {
    const auto rows = CsvRows(csv);
    std::vector<nlohmann::json> objects;
    for (const auto &record : records) {
        if (record.is_object()) objects.push_back(record);
    }
    if (rows.size() != objects.size() + 1) return "rows: " + std::to_string(rows.size()) + "\n" + csv;
    for (std::size_t r = 0; r < objects.size(); ++r) {
        if (rows[r + 1].size() != rows[0].size()) return "row " + std::to_string(r + 1) + " has another length";
        for (std::size_t f = 0; f < rows[0].size(); ++f) {
            const nlohmann::json &value = objects[r].contains(rows[0][f]) ? objects[r][rows[0][f]] : nlohmann::json();
            std::string expected = value.is_null() ? "" : value.is_string() ? value.get<std::string>() : value.dump();
            if (value.is_string() && !expected.empty() && std::string("=+-@").find(expected[0]) != std::string::npos)
                expected = "'" + expected;
            if (value.is_number_float()) expected = std::to_string(value.get<double>());
            const std::string got = value.is_number_float() ? std::to_string(std::stod(rows[r + 1][f])) : rows[r + 1][f];
            if (got != expected) return rows[0][f] + " of row " + std::to_string(r + 1) + ": " + got + " != " + expected;
        }
    }
    return "";
}

}  // namespace testing_support
