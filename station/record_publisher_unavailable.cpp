// The publisher where no libmosquitto is built for (Windows): --mqtt says so
// and ends the station before anything, as for any broker that cannot be set.
#include "record_publisher.h"

struct RecordPublisher::Impl {};

const char *BrokerStateName(BrokerState) { return "down"; }

RecordPublisher::RecordPublisher() = default;
RecordPublisher::~RecordPublisher() = default;

std::unique_ptr<RecordPublisher> RecordPublisher::Start(PublisherSettings, std::function<std::string()>,
                                                        std::string *error) {
    *error = "this build of pardulo-station has no MQTT (--mqtt): libmosquitto is not built for Windows here";
    return nullptr;
}

void RecordPublisher::RecordAppended() {}
void RecordPublisher::StatusChanged() {}
PublisherSnapshot RecordPublisher::Snapshot() const { return {}; }
