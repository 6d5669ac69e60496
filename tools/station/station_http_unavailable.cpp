// The station's web side where no cpp-httplib can be linked (the Windows
// build: Debian's cpp-httplib is a library for Linux only, its header
// declares what that library holds). --http then says so and ends the
// station before anything, as for any address that cannot be served.
#include "station_http.h"

struct StationHttp::Server {};

StationHttp::StationHttp() = default;
StationHttp::~StationHttp() = default;

std::unique_ptr<StationHttp> StationHttp::Bind(const std::string &, std::string, std::string *error) {
    *error = "this build of pardulo-station has no web side (no cpp-httplib for its platform)";
    return nullptr;
}

const std::string &StationHttp::Url() const {
    static const std::string kNone;
    return kNone;
}

void StationHttp::Start(const StationFacts &, const std::vector<std::string> &, double) {}
void StationHttp::OnEvent(const StationEvent &) {}
void StationHttp::OnRecord(int, const std::string &) {}
void StationHttp::Stop() {}
