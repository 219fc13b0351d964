// Times the production record: keeping one job's record (SQLite in write-ahead mode, each record a
// transaction of its own, as at the end of every job) and reading a day back with `--since` from a
// million rows. Goals: under 5 ms a record, under 200 ms for the query. With ZUP_TEST_PG set
// (tools/with-postgres) the server's time a record is measured too. The line's yield over the
// million (`--summary --by station,day` and `--by port`) beside the plain `--summary`, read from
// the record's daily and hourly sums and from its rows, at two densities (see TDensity), on SQLite and, with
// ZUP_TEST_PG, on the server (its million added to by each density: the recipe tells them apart).
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "history/HistoryFormat.h"
#include "history/HistoryGroups.h"
#include "history/HistoryStore.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRows = 1000000;
constexpr int kWrites = 1000;
constexpr int kRepetitions = 7;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

QDateTime FirstDay() { return QDateTime(QDate(2024, 1, 1), QTime(6, 0), Qt::UTC); }

TJobRecord Template() {
    TJobRecord r;
    r.Station = "line1-st2", r.User = "operator", r.ProgramVersion = "1.0", r.Job = "upload";
    r.Device = "/dev/ttyUSB0", r.DeviceById = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    r.AdapterSerial = "A1B2C3", r.Baud = 57600, r.InputFile = "/srv/firmware/mxr2-main-4.11.h86";
    r.InputSize = 11800000, r.InputSha256 = QString(64, 'c'), r.Blocks = 4000, r.BlocksSent = 4000;
    r.FileChecksum = "3FA2", r.UnitChecksum = "3FA2", r.UnitVersion = "MXR2 V4.11", r.Result = "verified";
    r.Reason = "Checksums match, Upload successful", r.DurationMs = 151000;
    return r;
}

std::unique_ptr<THistoryStore> OpenOrDie(const QString& location) {
    QString error;
    auto store = THistoryStore::Open(location, error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        std::exit(1);
    }
    return store;
}

// The end of a job, kWrites times over: the median over repetitions of the mean time a record.
double MsPerRecord(const QString& location) {
    auto store = OpenOrDie(location);
    TJobRecord r = Template();
    std::vector<double> runs;
    QString error;
    for (int rep = 0; rep < kRepetitions; ++rep) {
        const auto start = Clock::now();
        for (int i = 0; i < kWrites; ++i) {
            r.Start = QDateTime::currentDateTimeUtc();
            r.UnitId = QString("SN%1").arg(i);
            if (!store->Write(r, error)) {
                std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
                std::exit(1);
            }
        }
        runs.push_back(Ms(Clock::now() - start) / kWrites);
    }
    return Median(runs);
}

// How the million records lie in time. A real line's port loads a unit every 1-3 minutes while the
// line runs, so the line's own density (the default) is 25 units a port-hour over sixteen working
// hours a day at 16 stations of 8 ports: about 20 days hold the million, and an hour's sums stand
// for 25 records. The sparse one (four stations of 8 ports around the clock, 1,000 records a day:
// 1.3 a port-hour, 1,000 days) is the worst case for sums, about one sum a record.
struct TDensity {
    const char* Name;
    int Stations, PortsPerStation, RowsPerDay, HoursPerDay;
};
constexpr TDensity kDensities[] = {{"line", 16, 8, 16 * 8 * 25 * 16, 16}, {"sparse", 4, 8, 1000, 24}};

// Every port loads in turn; one unit in twenty times out and is given its id again; durations of
// 150-156 s and paces from 0.90 to 0.99 of the wire, spread as a real line's are (not a few values).
void FillMillion(THistoryStore& store, const QString& recipe, const TDensity& d) {
    const auto start = Clock::now();
    THistoryBatch batch(store);
    QString error;
    TJobRecord r = Template();
    r.Recipe = recipe;
    const int ports = d.Stations * d.PortsPerStation, perDay = d.RowsPerDay;
    const qint64 dayMs = qint64(d.HoursPerDay) * 3600000;
    bool ok = batch.Begin(error);
    for (int i = 0; ok && i < kRows; ++i) {
        const int slot = i % ports;
        r.Start = FirstDay().addDays(i / perDay).addMSecs(qint64(i % perDay) * dayMs / perDay);
        r.UnitId = QString("SN%1").arg(i % 20 == 1 ? i - 1 : i);
        r.Station = QString("line1-st%1").arg(slot / d.PortsPerStation + 1);
        r.PortName = QString("COM %1").arg(slot % d.PortsPerStation + 1);
        r.Result = i % 20 == 0 ? "timeout" : "verified";
        r.WireRatio = 0.9 + (qint64(i) * 7919 % 1000) / 10000.0;
        r.DurationMs = 150000 + qint64(i) * 104729 % 6000;
        r.RecordId.clear();
        ok = batch.Add(r, error);
    }
    if (!ok || !batch.Commit(error)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        std::exit(1);
    }
    std::printf("setup: %d rows (%s density) in one transaction: %8.0f ms\n", kRows, d.Name, Ms(Clock::now() - start));
}

// `history --since DAY`: the query and the table lines it prints.
void TimeQuery(THistoryStore& store, const char* what, const THistoryFilter& filter, const char* goal = "") {
    std::vector<double> runs;
    size_t rows = 0;
    for (int rep = 0; rep < kRepetitions; ++rep) {
        QString error, text;
        rows = 0;
        const auto start = Clock::now();
        store.Query(filter, [&](const TJobRecord& r) { text += TableLine(r), ++rows; }, error);
        runs.push_back(Ms(Clock::now() - start));
        if (!error.isEmpty()) std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
    }
    std::printf("%-40s %8.2f ms (%zu rows%s)\n", what, Median(runs), rows, goal);
}

// `history --summary` and `--summary --by KEYS`: from the daily sums; from the hourly ones (the
// same records bounded by their first hour, which is no local midnight); and from the rows as
// before the sums (the plain one every row read here, the groups summed up by the database).
void TimeSummaries(THistoryStore& store, const char* where, const QString& recipe,
                   const std::vector<const char*>& ways = {"days", "hours", "rows"}) {
    for (const char* how : ways) {
        const bool fromRows = std::strcmp(how, "rows") == 0, days = std::strcmp(how, "days") == 0;
        THistoryFilter filter;
        filter.Recipe = recipe;
        if (std::strcmp(how, "hours") == 0) filter.Since = FirstDay();
        std::vector<double> runs;
        for (int rep = 0; rep < (days ? kRepetitions : fromRows ? 1 : 3); ++rep) {
            QString error;
            THistorySummary summary;
            const auto start = Clock::now();
            bool answered = false;
            // As the command does: a server's statements here may take longer than a job's (5 s).
            store.WithSummaryLimit(
                [&] {
                    return fromRows ? store.Query(filter, [&](const TJobRecord& r) { summary.Add(r); }, error)
                                    : store.SummarizeDays(filter, summary, answered, error);
                },
                error);
            const QString text = summary.Text();
            runs.push_back(Ms(Clock::now() - start));
            if (!error.isEmpty()) std::printf("  failed: %s\n", error.toLocal8Bit().constData());
        }
        std::printf("%-10s %-5s --summary:                 %8.0f ms (goal < 200 ms)\n", where, how, Median(runs));
        for (const char* by : {"station,day", "port"}) {
            std::vector<TGroupKey> keys;
            QString error;
            ParseGroupKeys(by, keys, error);
            std::vector<TGroupRow> rows;
            runs.clear();
            for (int rep = 0; rep < (days ? kRepetitions : 3); ++rep) {
                const auto start = Clock::now();
                if (!store.WithSummaryLimit([&] { return store.Summarize(filter, keys, rows, error, fromRows); }, error))
                    std::printf("  failed: %s\n", error.toLocal8Bit().constData());
                const QString text = GroupTable(keys, rows);
                runs.push_back(Ms(Clock::now() - start));
            }
            std::printf("%-10s %-5s --summary --by %-12s %8.0f ms (%zu groups, goal < 200 ms)\n", where, how, by,
                        Median(runs), rows.size());
        }
    }
}

// The queries and summaries over a file of a million records, removed afterwards.
void TimeFile(const QString& path, const QString& recipe, const TDensity& d) {
    auto store = OpenOrDie(path);
    FillMillion(*store, recipe, d);
    const QDateTime lastDay = FirstDay().addDays((kRows - 1) / d.RowsPerDay);
    THistoryFilter day;
    day.Since = lastDay;
    TimeQuery(*store, "--since the last day of 1,000,000:", day, ", goal < 200 ms");
    THistoryFilter month;
    month.Since = lastDay.addDays(-29);
    TimeQuery(*store, "--since 30 days back:", month);
    THistoryFilter unit;
    unit.UnitId = "SN123456";
    TimeQuery(*store, "--unit SN123456:", unit);
    TimeSummaries(*store, "SQLite", recipe);
    store.reset();
    QFile::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A figure is shown as soon as it is measured, so a run cut short still says what it measured.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir dir(QDir::tempPath() + "/zupbench-XXXXXX");
    // "DENSITY server": the server alone (filling a million rows takes minutes a database).
    const bool serverOnly = argc > 2 && QString::fromLocal8Bit(argv[2]) == "server";
    if (!serverOnly)
        std::printf("a record, each its own transaction:     %8.3f ms (median of %d x %d, goal < 5 ms)\n",
                    MsPerRecord(dir.filePath("write.sqlite")), kRepetitions, kWrites);
    if (const char* pg = std::getenv("ZUP_TEST_PG"))
        std::printf("a record on the PostgreSQL server:      %8.3f ms\n", MsPerRecord(QString::fromLocal8Bit(pg)));

    // A density by name ("line" or "sparse") as the argument; both by default.
    const QString only = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    for (const TDensity& d : kDensities) {
        if (!only.isEmpty() && only != d.Name) continue;
        const QString recipe = "bench-" + QUuid::createUuid().toString(QUuid::WithoutBraces) + ".json";
        if (!serverOnly) TimeFile(dir.filePath(QString("million-%1.sqlite").arg(d.Name)), recipe, d);
        if (const char* pg = std::getenv("ZUP_TEST_PG")) {
            auto server = OpenOrDie(QString::fromLocal8Bit(pg));
            FillMillion(*server, recipe, d);
            // A million records in one transaction leave a million dead versions of the few sums
            // rows they updated, spread over pages a reader still reads after autovacuum; a line's
            // records, one a transaction, leave theirs to page pruning and autovacuum as they go.
            // Timed as filled, then with the sums compacted and the rows' statistics taken.
            TimeSummaries(*server, "PostgreSQL", recipe, {"days"});
            QString error;
            const auto start = Clock::now();
            const bool vacuumed = server->WithSummaryLimit(
                [&] {
                    QSqlQuery q(QSqlDatabase::database(server->ConnectionName()));
                    return q.exec("VACUUM FULL ANALYZE job_rollup, job_rollup_bucket, job_rollup_day, "
                                  "job_rollup_day_bucket") &&
                           q.exec("ANALYZE job_record");
                },
                error);
            std::printf("VACUUM FULL of the sums, ANALYZE:  %8.0f ms%s\n", Ms(Clock::now() - start),
                        vacuumed ? "" : " (failed)");
            TimeSummaries(*server, "PostgreSQL", recipe);
        }
    }
    return 0;
}
