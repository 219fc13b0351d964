// The ways `history` shows records: a table for a terminal, CSV for a spreadsheet, one JSON object
// per line for a script, and a summary per day and station. Each line is made on its own, so a
// query of any size is printed as it is read.
#pragma once

#include <QDate>
#include <QString>
#include <map>
#include <vector>
#include <utility>

#include "history/JobRecord.h"

QString TableHeader();
// Start in local time, job, unit, result, blocks sent of the file's, station, file name, reason.
// Control characters (a unit's reply may hold any byte) are shown as '?', never sent to a terminal.
QString TableLine(const TJobRecord& record);

// RFC 4180: a header row, every field holding a comma, a quote, CR or LF quoted (quotes doubled),
// lines ending in CR LF. Warnings are one field, a line each. A field that a spreadsheet would run
// as a formula (starting with =, +, -, @, a tab or CR: a unit id, a unit's reply) is written with a
// leading apostrophe, so it is shown as text; JSON keeps every value as it is.
QString CsvHeader();
QString CsvLine(const TJobRecord& record);
QString CsvField(const QString& text);

// Every field under its column's name, warnings as an array, ending in a line feed.
QString JsonLine(const TJobRecord& record);
// A JsonLine read back (the journal a record goes to when no database can take it); false for a
// line that is not a whole record.
bool RecordFromJson(const QByteArray& line, TJobRecord& record);

// Per local day and station: the units taken on (a unit was reached: ports that did not open are
// counted apart), how many now hold their firmware, how many of those were verified, how many
// failed, the median wire ratio of the uploads, and the failures by result and reason; where recipes
// are run, how many units were loaded from a recipe no key signed (from signed ones, without any);
// and how many local rows wait to be forwarded.
class THistorySummary {
public:
    void Add(const TJobRecord& record);
    // The same from the sums: `count` records of one result and reason on a local day at a station
    // (their recipe, "" for none, and whether a key signed it), a day's median wire ratio read from
    // its buckets, and the rows waiting to be forwarded.
    void AddCount(const QDate& day, const QString& station, const QString& result, const QString& reason,
                  const QString& recipe, bool recipeSigned, qint64 count);
    void SetWireMedian(const QDate& day, const QString& station, double median);
    void AddPending(qint64 count) { pending_ += count; }
    QString Text() const;

private:
    struct TDay {
        int Units = 0, Loaded = 0, Verified = 0, Failed = 0, PortsNotOpened = 0;
        std::map<std::pair<QString, QString>, int> Failures;  // (result, reason) -> count
        std::vector<double> WireRatios;  // of the uploads whose pace was measured
        double WireMedian = -1;          // from the sums, when no ratio was added one by one
    };
    std::map<std::pair<QDate, QString>, TDay> days_;
    qint64 pending_ = 0;
    qint64 fromUnsigned_ = 0, fromSigned_ = 0, withoutRecipe_ = 0;
};
