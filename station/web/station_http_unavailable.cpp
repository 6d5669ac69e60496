// The station's web side where no cpp-httplib can be linked (a Windows
// build by hand without the library's single header: Debian's httplib.h
// only declares what its Linux library holds). --http then says so and ends
// the station before anything, as for any address that cannot be served.
#include "station_http.h"

struct StationHttp::Server {};

StationHttp::StationHttp() = default;
StationHttp::~StationHttp() = default;

std::unique_ptr<StationHttp> StationHttp::Bind(const std::string &, std::string, std::string *error) {
    *error = "this build of pardulo-station has no web side (built without cpp-httplib)";
    return nullptr;
}

const std::string &StationHttp::Url() const {
    static const std::string kNone;
    return kNone;
}

std::string StationHttp::ServingUrls() const { return ""; }

void StationHttp::Start(const StationStatus &) {}
void StationHttp::AllowWrites(std::string, WriteHandler) {}
void StationHttp::Change(int, Tell, const std::function<bool()> &change) { change(); }
void StationHttp::Stop() {}
void StationHttp::OnRecordWritten(const std::string &) {}
void StationHttp::OnHookFailure() {}
void StationHttp::SetHookLog(std::string) {}
void StationHttp::SetBrokerMetrics(std::function<MetricsBroker()>) {}
