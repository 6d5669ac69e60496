// The upload journal and the fixture's device number: what survives a
// station that dies during an upload, and what a torn or foreign file
// makes of them (nothing that stops the station).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "device_record.h"
#include "upload_journal.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

UploadJournal Journal(uint32_t device) {
    UploadJournal journal;
    journal.port = "/dev/pts/\"7\"";
    journal.fixture = "Fixture 1";
    journal.facts = {"line 7", "ab12", 3, 900};
    journal.run.id = RecordId("0123456789abcdef", 1, device);
    journal.run.device = device;
    journal.run.started = "2026-12-07T15:52:22.623Z";
    journal.run.device_path = "/dev/ttyUSB3";
    journal.run.has_adapter_serial = true;
    journal.run.adapter_serial = "FT\n12";
    return journal;
}

TEST(UploadJournal, ReadsBackWhatWasWrittenAndRefusesWhatIsNoJournal) {
    TempDir folder;
    ASSERT_EQ(WriteJournal(folder.path(), Journal(17)), 0);
    ASSERT_EQ(WriteJournal(folder.path(), Journal(100000)), 0);
    EXPECT_FALSE(fs::exists(folder.file("00017.journal.tmp")));
    UploadJournal got;
    ASSERT_TRUE(DecodeJournal(ReadFile(folder.file("00017.journal")), &got));
    EXPECT_EQ(got.port, "/dev/pts/\"7\"");
    EXPECT_EQ(got.fixture, "Fixture 1");
    EXPECT_EQ(got.facts.map_sha256, "ab12");
    EXPECT_EQ(got.run.id, "0123456789abcdef-1-17");
    EXPECT_EQ(got.run.adapter_serial, "FT\n12");
    EXPECT_EQ(got.run.started, "2026-12-07T15:52:22.623Z");

    const std::string good = EncodeJournal(Journal(5));
    std::string no_id = good;
    no_id.replace(no_id.find("0123456789abcdef-1-5"), 20, "");
    for (const std::string &bad : {std::string(), good.substr(0, good.size() / 2), std::string("null"),
                                   std::string("\x00\xff garbage", 10), std::string(R"({"version":9})"), no_id,
                                   std::string(R"({"version":1,"port":"p","facts":{},"run":{}})")}) {
        EXPECT_FALSE(DecodeJournal(bad, &got)) << bad;
    }
}

TEST(UploadJournal, TakingAFolderReportsTornJournalsSetsThemAsideAndGoesOn) {
    TempDir folder;
    ASSERT_EQ(WriteJournal(folder.path(), Journal(9)), 0);
    ASSERT_EQ(WriteJournal(folder.path(), Journal(8)), 0);
    WriteFile(folder.file("00010.journal"), EncodeJournal(Journal(10)).substr(0, 40));  // a power cut's disk
    WriteFile(folder.file("00011.journal"), std::string(100000, 'x'));
    WriteFile(folder.file("00012.journal.tmp"), "half");  // never renamed: the upload never started
    WriteFile(folder.file("00007.out"), "output");

    const FoundJournals found = TakeJournals(folder.path());
    ASSERT_EQ(found.journals.size(), 2u);
    EXPECT_EQ(found.journals[0].run.device, 8u);
    EXPECT_EQ(found.journals[1].run.device, 9u);
    EXPECT_EQ(found.problems.size(), 2u);
    EXPECT_EQ(found.highest, 11u);
    EXPECT_TRUE(fs::exists(folder.file("00010.journal.unreadable")));
    EXPECT_FALSE(fs::exists(folder.file("00010.journal")));
    EXPECT_FALSE(fs::exists(folder.file("00012.journal.tmp")));
    EXPECT_TRUE(fs::exists(folder.file("00007.out")));
    // Set aside, they are not reported again.
    EXPECT_TRUE(TakeJournals(folder.path()).problems.empty());

    ASSERT_EQ(RemoveJournal(folder.path(), 8), 0);
    EXPECT_EQ(RemoveJournal(folder.path(), 8), 0);  // gone already: no error
    EXPECT_EQ(TakeJournals(folder.path()).journals.size(), 1u);
    EXPECT_FALSE(TakeJournals(folder.file("missing")).problems.empty());
}

TEST(UploadJournal, TheLastDeviceNumberReadsAsZeroUnlessItIsOne) {
    TempDir folder;
    EXPECT_EQ(ReadLastDevice(folder.path()), 0u);
    ASSERT_EQ(WriteLastDevice(folder.path(), 4294967295u), 0);
    EXPECT_EQ(ReadLastDevice(folder.path()), 4294967295u);
    const struct {
        const char *text;
        uint32_t number;
    } kRows[] = {{"17\n", 17}, {"17", 17}, {"", 0}, {"abc\n", 0}, {"-3\n", 0}, {"4294967296\n", 0}, {"12x\n", 0}};
    for (const auto &row : kRows) {
        WriteFile(folder.file("last-device"), row.text);
        EXPECT_EQ(ReadLastDevice(folder.path()), row.number) << row.text;
    }
}

TEST(UploadJournal, RecordedIdsAreFoundAsTheLinesIdOnly) {
    TempDir dir;
    WriteFile(dir.file("records.jsonl"), "{\"id\":\"r-0-1\",\"time\":\"t\"}\n"
                                         "{\"id\":\"r-0-10\",\"reason\":\"r-0-2\"}\n"
                                         "{\"id\":\"r-0-3\",\"ti");  // a torn last line still names its id
    EXPECT_EQ(RecordedIds(dir.file("records.jsonl"), {"r-0-1", "r-0-2", "r-0-3", "r-0-4"}),
              (std::set<std::string>{"r-0-1", "r-0-3"}));
    EXPECT_TRUE(RecordedIds(dir.file("missing.jsonl"), {"r-0-1"}).empty());
}

TEST(UploadJournal, RunIdsDifferAndRecordIdsNameRunPortAndDevice) {
    const std::string a = NewRunId();
    EXPECT_EQ(a.size(), 16u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos) << a;
    EXPECT_NE(a, NewRunId());
    EXPECT_EQ(RecordId(a, 2, 17), a + "-2-17");
}

TEST(UploadJournal, AnInterruptedRunIsRecordedAsSuch) {
    DeviceRun run = Journal(17).run;
    run.stopped_during_upload = true;
    const std::string line = FormatRecordLine("t", {"s", "ab", 3, 900}, "p", run);
    EXPECT_EQ(line.rfind("{\"id\":\"0123456789abcdef-1-17\",\"time\":\"t\",\"started\":\"2026-12-07T15:52:22.623Z\"", 0), 0u)
        << line;
    EXPECT_NE(line.find("\"result\":\"interrupted\",\"failed_block\":null,"
                        "\"reason\":\"station stopped during the upload\""),
              std::string::npos)
        << line;
    EXPECT_EQ(FormatResultLine("p", run), "p 17 interrupted 0.0 station stopped during the upload\n");
}

}  // namespace
