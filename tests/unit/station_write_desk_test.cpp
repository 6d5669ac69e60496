// The desk where the web side's writes meet the event loop: which serial
// numbers it refuses, and what the loop takes from it.
#include <gtest/gtest.h>

#include "write_desk.h"

namespace {

WriteRequest Serial(int port, const std::string &serial) {
    WriteRequest request;
    request.kind = WriteRequest::Kind::kSerial;
    request.port = port;
    request.serial = serial;
    return request;
}

TEST(WriteDesk, ASerialNumberIsTakenOnceUnlessRepeatsAreAllowed) {
    for (const bool allow : {false, true}) {
        WriteDesk desk(2, allow);
        desk.UsedInRecords("{\"serial\":\"SN-1\"}\nnot json\n{\"serial\":null}\n{\"serial\":\"SN-2\"}");
        const int refused = allow ? 200 : 409;
        struct Row {
            WriteRequest request;
            int status;
        };
        const Row rows[] = {
            {Serial(0, "SN-1"), refused},  // in the record file
            {Serial(0, "SN-2"), refused},  // its last line, though it has no line end yet
            {Serial(0, "SN-3"), 200},
            {Serial(0, "SN-3"), 200},      // the same fixture again
            {Serial(1, "SN-3"), refused},  // waiting on another fixture
            {Serial(0, "SN-4"), 200},      // replaces SN-3, which is free again
            {Serial(1, "SN-3"), 200},
            {Serial(2, "SN-5"), 404},
        };
        for (const Row &row : rows) {
            EXPECT_EQ(desk.Ask(row.request).status, row.status) << row.request.serial << " allow " << allow;
        }
        EXPECT_EQ(desk.TakeSerial(0), std::optional<std::string>("SN-4"));
        EXPECT_EQ(desk.TakeSerial(0), std::nullopt);  // one device, one serial number
        EXPECT_EQ(desk.Ask(Serial(1, "SN-4")).status, refused);  // taken: as good as recorded
        const auto taken = desk.Take();
        EXPECT_EQ(taken.size(), allow ? 8u : 4u);
        EXPECT_TRUE(desk.Take().empty());
    }
}

}  // namespace
