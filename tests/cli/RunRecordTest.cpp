// The record's own parts: its times, the round trip a many-units parent relies on, and the
// record a hard stop writes.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "cli/RunRecord.h"
#include "tests/support/RecordSchema.h"

namespace {

TEST(RunRecord, TimesAreUtcWithMilliseconds) {
    const struct {
        int64_t unixMs;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {951782400000, "2000-02-29T00:00:00.000Z"},  // a leap day of a century's leap year
        {946684799999, "1999-12-31T23:59:59.999Z"},
        {4107542400001, "2100-03-01T00:00:00.001Z"},  // 2100 has no February 29
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (const auto& c : cases) {
        char text[25];
        FormatUtc(c.unixMs, text);
        EXPECT_STREQ(text, c.text) << c.unixMs;
    }
}

RunRecord FullRecord() {
    RunRecord record;
    record.toolVersion = "0.1";
    record.host = "station-3";
    record.command = "flash";
    record.edition = "B";
    record.started = "2026-01-31T12:00:00.000Z";
    record.ended = "2026-01-31T12:01:02.345Z";
    record.port = "/dev/ttyUSB0";
    record.portGiven = "1";
    record.file = "Tilm6K_fw.mot";
    record.fileModel = "Tilm6K";
    record.unitId = "00112233445566778899";
    record.sha256 = std::string(64, 'a');
    record.model = "VX360R";
    record.version = "S1.03";
    record.blocks = {{"MPPT", std::string(64, 'b'), 4096, 1, true}, {"control", "", -1, 3, false}};
    record.exitStatus = 1;
    record.failedStep = "transfer";
    record.Note("Time out !");
    return record;
}

TEST(RunRecord, ALineReadBackWritesTheSameLine) {
    const std::string line = FullRecord().ToJsonLine();
    EXPECT_EQ(record_schema::Faults(nlohmann::json::parse(line)), "") << line;
    const std::optional<RunRecord> read = RunRecord::FromJsonLine(line);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->ToJsonLine(), line);
    // A record that succeeded names no failed step, whatever was kept.
    RunRecord ok = FullRecord();
    ok.ok = true;
    ok.exitStatus = 0;
    EXPECT_TRUE(nlohmann::json::parse(ok.ToJsonLine())["failed_step"].is_null());
}

TEST(RunRecord, AHardStopWritesThePreparedRecordEndingAtTheStop) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    RunRecord record = FullRecord();
    record.ended = "";
    StopRecord::SetOutputs(fds[1], false);
    StopRecord::Prepare(record);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the stop comes later
    const std::string before = UtcNow();
    StopRecord::WriteNow(SIGTERM);
    StopRecord::WriteNow(SIGTERM);  // once only
    close(fds[1]);
    std::string written;
    char buffer[4096];
    for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;) {
        written.append(buffer, static_cast<size_t>(got));
    }
    close(fds[0]);
    ASSERT_EQ(written.find('\n'), written.size() - 1) << written;
    const nlohmann::json stopped = record_schema::Parsed(written);
    EXPECT_EQ(stopped["result"], "stopped");
    EXPECT_EQ(stopped["exit_status"], 128 + SIGTERM);
    EXPECT_EQ(stopped["failed_step"], "transfer");
    EXPECT_GE(stopped["ended"].get<std::string>(), before);
    EXPECT_LE(stopped["ended"].get<std::string>(), UtcNow());
}

}  // namespace
