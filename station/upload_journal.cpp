#include "upload_journal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "durable_file.h"
#include "station_events.h"
#include "station_json.h"

namespace fs = std::filesystem;

namespace {

constexpr int kJournalVersion = 1;
constexpr const char kJournalSuffix[] = ".journal";
constexpr const char kLastDeviceFile[] = "last-device";
// A journal is a few hundred bytes; anything far larger is no journal.
constexpr std::uintmax_t kMaxJournalBytes = 64 * 1024;

bool ReadSmallFile(const fs::path &path, std::string *text) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size > kMaxJournalBytes) return false;
    std::ifstream in(path, std::ios::binary);
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool EndsWith(const std::string &text, const std::string &end) {
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Reads one journal file, or moves it aside and says why.
void TakeJournal(const fs::path &path, FoundJournals *found) {
    std::string text;
    UploadJournal journal;
    if (ReadSmallFile(path, &text) && DecodeJournal(text, &journal)) {
        found->journals.push_back(std::move(journal));
        return;
    }
    std::error_code error;
    fs::path aside = path;
    aside += ".unreadable";
    fs::rename(path, aside, error);
    found->problems.push_back(path.string() + ": not a journal the station can read" +
                              (error ? " (and it could not be moved aside: " + error.message() + ")"
                                     : "; kept as " + aside.filename().string()));
}

}  // namespace

std::string JournalFileName(uint32_t device) {
    char name[32];
    snprintf(name, sizeof name, "%05u%s", device, kJournalSuffix);
    return name;
}

std::string EncodeJournal(const UploadJournal &journal) {
    const Json json{{"version", kJournalVersion}, {"port", journal.port}, {"fixture", journal.fixture}, {"facts", journal.facts}, {"run", journal.run}};
    return JsonText(json) + "\n";
}

bool DecodeJournal(const std::string &text, UploadJournal *journal) {
    const Json json = Json::parse(text, nullptr, false);
    if (!json.is_object()) return false;
    try {
        if (json.at("version").get<int>() != kJournalVersion) return false;
        UploadJournal read;
        json.at("port").get_to(read.port);
        json.at("fixture").get_to(read.fixture);
        json.at("facts").get_to(read.facts);
        json.at("run").get_to(read.run);
        // Its id is what keeps the record single; without one it is no journal.
        if (read.run.id.empty() || read.run.device == 0) return false;
        *journal = std::move(read);
    } catch (const std::exception &) {  // Json's own, and a name of none of ours
        return false;
    }
    return true;
}

int WriteJournal(const std::string &folder, const UploadJournal &journal) {
    return ReplaceFileDurably(folder, JournalFileName(journal.run.device), EncodeJournal(journal));
}

int RemoveJournal(const std::string &folder, uint32_t device) {
    return RemoveFileDurably(folder, JournalFileName(device));
}

FoundJournals TakeJournals(const std::string &folder) {
    FoundJournals found;
    std::error_code error;
    std::vector<fs::path> paths;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!it->is_regular_file(error)) continue;
        if (EndsWith(name, kJournalSuffix)) {
            paths.push_back(it->path());
            // Even a journal that does not read has used its number.
            const unsigned long long number = strtoull(name.c_str(), nullptr, 10);
            if (number <= UINT32_MAX) found.highest = std::max(found.highest, static_cast<uint32_t>(number));
        }
        if (EndsWith(name, std::string(kJournalSuffix) + ".tmp")) fs::remove(it->path(), error);
    }
    if (error) found.problems.push_back(folder + ": " + error.message());
    std::sort(paths.begin(), paths.end());
    for (const fs::path &path : paths) TakeJournal(path, &found);
    std::sort(found.journals.begin(), found.journals.end(),
              [](const UploadJournal &a, const UploadJournal &b) { return a.run.device < b.run.device; });
    return found;
}

uint32_t ReadLastDevice(const std::string &folder) {
    std::string text;
    if (!ReadSmallFile(fs::path(folder) / kLastDeviceFile, &text)) return 0;
    char *end = nullptr;
    const unsigned long long value = strtoull(text.c_str(), &end, 10);
    const bool number = end != text.c_str() && (*end == '\n' || *end == '\0') && text[0] != '-';
    return number && value <= UINT32_MAX ? static_cast<uint32_t>(value) : 0;
}

int WriteLastDevice(const std::string &folder, uint32_t device) {
    return ReplaceFileDurably(folder, kLastDeviceFile, std::to_string(device) + "\n");
}

std::set<std::string> RecordedIds(const std::string &path, const std::set<std::string> &ids) {
    std::set<std::string> found;
    if (ids.empty()) return found;
    std::ifstream in(path, std::ios::binary);
    // The id is written first and holds no character JSON escapes, so its
    // text in the line is "id":"ID" exactly.
    for (std::string line; found.size() < ids.size() && std::getline(in, line);) {
        for (const std::string &id : ids) {
            if (line.find("\"id\":\"" + id + "\"") != std::string::npos) found.insert(id);
        }
    }
    return found;
}
