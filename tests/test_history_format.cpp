// What `history` prints: CSV a spreadsheet reads back field for field, the table safe on a
// terminal whatever the unit sent, and the summary's counts per day and station.
#include <gtest/gtest.h>


#include "history/HistoryFormat.h"

namespace {

TJobRecord Job(const char* day, const char* station, const char* result, const char* reason = "") {
    TJobRecord r;
    r.Start = QDateTime(QDate::fromString(day, Qt::ISODate), QTime(10, 0));
    r.Station = station;
    r.Result = result;
    r.Reason = reason;
    return r;
}

}  // namespace

TEST(HistoryCsv, FieldsThatNeedItAreQuoted) {
    const struct {
        const char* field;
        const char* csv;
    } rows[] = {
        {"plain", "plain"},
        {"", ""},
        {" spaced ", " spaced "},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"\"", "\"\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {"crlf\r\nend", "\"crlf\r\nend\""},
    };
    for (const auto& row : rows) EXPECT_EQ(CsvField(row.field).toStdString(), row.csv) << row.field;
}

TEST(HistoryCsv, ARecordIsOneRowOfTheHeadersColumns) {
    TJobRecord r = Job("2026-01-05", "st,1", "verified");
    r.Warnings = {"first", "second"};
    const QString header = CsvHeader(), line = CsvLine(r);
    ASSERT_TRUE(header.endsWith("\r\n") && line.endsWith("\r\n"));
    EXPECT_TRUE(header.startsWith("id,start_utc,"));
    EXPECT_TRUE(header.endsWith(
        ",upload_sha256,port_name,device_by_path,wire_ratio,reply_median_ms,port_unit,recipe_key_id,first_pass\r\n"))
        << header.toStdString();
    EXPECT_TRUE(line.contains(",\"st,1\","));
    EXPECT_TRUE(line.contains(",\"first\nsecond\","));
    // Outside quotes, the row has exactly the header's commas.
    int commas = 0;
    bool quoted = false;
    for (const QChar c : line) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) ++commas;
    }
    EXPECT_EQ(commas, header.count(','));
}

// A unit id or a unit's reply is the unit's or the operator's text: in CSV it never becomes a
// formula of the spreadsheet that opens the export; JSON keeps it as it was.
TEST(HistoryCsv, CellsThatWouldRunAsFormulasAreText) {
    const struct {
        const char* unitId;
        const char* cell;
    } rows[] = {
        {"=HYPERLINK(\"x\")", ",\"'=HYPERLINK(\"\"x\"\")\","},
        {"+1+2", ",'+1+2,"},
        {"-2", ",'-2,"},
        {"@SUM(A1)", ",'@SUM(A1),"},
        {"\tx", ",'\tx,"},
        {"\rx", ",\"'\rx\","},
        {"SN-1=2", ",SN-1=2,"},
    };
    for (const auto& row : rows) {
        TJobRecord r = Job("2026-01-05", "st1", "verified");
        r.UnitId = row.unitId;
        EXPECT_TRUE(CsvLine(r).contains(row.cell)) << CsvLine(r).toStdString();
        TJobRecord back;
        r.RecordId = "r1";
        ASSERT_TRUE(RecordFromJson(JsonLine(r).toUtf8(), back));
        EXPECT_EQ(back.UnitId, r.UnitId);
    }
}

TEST(HistoryTable, ControlCharactersNeverReachTheTerminal) {
    TJobRecord r = Job("2026-01-05", "st1", "checksums_different", "unit said \x1b[2J\x07");
    r.UnitId = "SN\r1";
    const QString line = TableLine(r);
    EXPECT_FALSE(line.contains(QChar(0x1b)) || line.contains('\a') || line.contains('\r'));
    EXPECT_TRUE(line.contains("unit said ?[2J?") && line.contains("SN?1"));
    EXPECT_EQ(line.count('\n'), 1);
}

// The table names the port as the operator gave it: a slot's by-path name by its end, where slots
// differ; the device opened only when no name was kept. JSON carries both names whole.
TEST(HistoryTable, ThePortIsNamedAsGiven) {
    const struct {
        const char* portName;
        const char* device;
        const char* cell;
    } rows[] = {
        {"COM 3", "/dev/ttyS2", "COM 3"},
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0", "/dev/ttyUSB1", "~0:1.2:1.0-port0"},
        {"/home/line/fixture/slot2", "/dev/pts/4", "slot2"},
        {"", "/dev/pts/4", "/dev/pts/4"},
    };
    for (const auto& row : rows) {
        TJobRecord r = Job("2026-01-05", "st1", "verified");
        r.PortName = row.portName, r.Device = row.device, r.DeviceByPath = row.portName, r.RecordId = "r1";
        const QString line = TableLine(r);
        EXPECT_TRUE(line.contains("  " + QString(row.cell) + " ")) << line.toStdString();
        TJobRecord back;
        ASSERT_TRUE(RecordFromJson(JsonLine(r).toUtf8(), back));
        EXPECT_EQ(back, r);
    }
}

TEST(HistorySummary, CountsPerDayAndStationWithTheFailuresByReason) {
    THistorySummary summary;
    auto lines = [](const THistorySummary& s) { return s.Text().split('\n', Qt::SkipEmptyParts); };
    TJobRecord slow = Job("2026-01-05", "st1", "verified"), fast = Job("2026-01-05", "st1", "sent");
    slow.WireRatio = 0.6, fast.WireRatio = 0.9;
    for (const TJobRecord& r : {slow, fast,
                                Job("2026-01-05", "st1", "timeout", "No reply to FCS"),
                                Job("2026-01-05", "st1", "timeout", "No reply to FCS"),
                                Job("2026-01-05", "st2", "factory_complete"),
                                Job("2026-01-05", "st1", "port_failed", "No such file or directory"),
                                Job("2026-01-06", "st1", "unit_failed", "UPLOAD FAILED")})
        summary.Add(r);
    // A port that never opened reached no unit: counted apart, its reason listed with the failures.
    EXPECT_EQ(lines(summary).size(), 7) << summary.Text().toStdString();
    // The wire ratio's median over the uploads whose pace was measured.
    EXPECT_EQ(lines(summary)[1].simplified(), "2026-01-05 st1 4 2 1 2 1 0.75");
    EXPECT_EQ(lines(summary)[2].simplified(), "1 port_failed No such file or directory");
    EXPECT_EQ(lines(summary)[3].simplified(), "2 timeout No reply to FCS");
    EXPECT_EQ(lines(summary)[4].simplified(), "2026-01-05 st2 1 1 0 0 0 -");
    EXPECT_EQ(lines(summary)[5].simplified(), "2026-01-06 st1 1 0 0 1 0 -");
    EXPECT_EQ(lines(summary)[6].simplified(), "1 unit_failed UPLOAD FAILED");
    // A station's file that holds rows still to be forwarded says so.
    TJobRecord waiting = Job("2026-01-06", "st1", "verified");
    waiting.ForwardPending = true;
    summary.Add(waiting);
    EXPECT_TRUE(lines(summary).back().startsWith("1 record here is not yet forwarded")) << lines(summary).back().toStdString();
}
