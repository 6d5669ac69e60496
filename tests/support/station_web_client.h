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
#include <string>
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

}  // namespace testing_support
