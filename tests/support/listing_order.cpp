// The builder's listing order, as the tests expect it; plain <dirent.h>, so
// the Windows build of the tests has it too.
#include <dirent.h>

#include <algorithm>
#include <tuple>

#include "test_support.h"

namespace testing_support {

std::vector<std::pair<std::string, int>> ListingInNameOrder(const std::string &dir) {
    struct Keyed {
        int rank;  // ".", "..", the rest
        std::string folded;
        std::string name;
        int reclen;
    };
    std::vector<Keyed> keyed;
    if (DIR *listing = opendir(dir.c_str())) {
        while (const dirent *entry = readdir(listing)) {
            const std::string name = entry->d_name;
            std::string folded = name;
            for (char &c : folded)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            const int rank = name == "." ? 0 : name == ".." ? 1 : 2;
            keyed.push_back({rank, folded, name, entry->d_reclen});
        }
        closedir(listing);
    }
    // std::string compares its characters as unsigned bytes.
    std::sort(keyed.begin(), keyed.end(), [](const Keyed &a, const Keyed &b) {
        return std::tie(a.rank, a.folded, a.name) < std::tie(b.rank, b.folded, b.name);
    });
    std::vector<std::pair<std::string, int>> entries;
    for (const Keyed &k : keyed) entries.emplace_back(k.name, k.reclen);
    return entries;
}

}  // namespace testing_support
