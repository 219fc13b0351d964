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

TEST(HistoryTable, ControlCharactersNeverReachTheTerminal) {
    TJobRecord r = Job("2026-01-05", "st1", "checksums_different", "unit said \x1b[2J\x07");
    r.UnitId = "SN\r1";
    const QString line = TableLine(r);
    EXPECT_FALSE(line.contains(QChar(0x1b)) || line.contains('\a') || line.contains('\r'));
    EXPECT_TRUE(line.contains("unit said ?[2J?") && line.contains("SN?1"));
    EXPECT_EQ(line.count('\n'), 1);
}

TEST(HistorySummary, CountsPerDayAndStationWithTheFailuresByReason) {
    THistorySummary summary;
    for (const TJobRecord& r : {Job("2026-01-05", "st1", "verified"), Job("2026-01-05", "st1", "sent"),
                                Job("2026-01-05", "st1", "timeout", "No reply to FCS"),
                                Job("2026-01-05", "st1", "timeout", "No reply to FCS"),
                                Job("2026-01-05", "st2", "factory_complete"),
                                Job("2026-01-06", "st1", "unit_failed", "UPLOAD FAILED")})
        summary.Add(r);
    const QStringList lines = summary.Text().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 6) << summary.Text().toStdString();
    EXPECT_EQ(lines[1].simplified(), "2026-01-05 st1 4 2 1 2");
    EXPECT_EQ(lines[2].simplified(), "2 timeout No reply to FCS");
    EXPECT_EQ(lines[3].simplified(), "2026-01-05 st2 1 1 0 0");
    EXPECT_EQ(lines[4].simplified(), "2026-01-06 st1 1 0 0 1");
    EXPECT_EQ(lines[5].simplified(), "1 unit_failed UPLOAD FAILED");
}
