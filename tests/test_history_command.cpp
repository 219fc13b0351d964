// `zupflshc history`: each filter picks the records it names, newest first, and bad input is one
// line on stderr with exit status 2.
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "cli/CommandLineOptions.h"
#include "cli/HistoryCommand.h"
#include "history/FileDigest.h"
#include "history/HistoryStore.h"
#include "support/TempDir.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs the command in this process with its stdout and stderr sent to files.
Outcome RunHistory(const QStringList& args, const std::string& db, const TempDir& dir) {
    const std::string outPath = dir / "out.txt", errPath = dir / "err.txt";
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = ::dup(STDOUT_FILENO), savedErr = ::dup(STDERR_FILENO);
    if (!std::freopen(outPath.c_str(), "w", stdout) || !std::freopen(errPath.c_str(), "w", stderr)) return {};
    Outcome o;
    o.status = RunHistoryCommand(args, db);
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut, STDOUT_FILENO);
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedOut);
    ::close(savedErr);
    o.out = ReadWholeFile(outPath);
    o.err = ReadWholeFile(errPath);
    return o;
}

// Six jobs over three days on two units, two firmware files; times are local, as an operator
// types them.
struct Fixture {
    TempDir dir;
    std::string db = dir / "history.sqlite";
    std::string fileA = dir / "a.h86", fileB = dir / "b.h86";

    Fixture() {
        WriteWholeFile(fileA, ":00000001FF\n");
        WriteWholeFile(fileB, ":0100000000FF\n:00000001FF\n");
        QString shaA, shaB, error;
        EXPECT_TRUE(FileSha256(QString::fromStdString(fileA), shaA, error));
        EXPECT_TRUE(FileSha256(QString::fromStdString(fileB), shaB, error));
        const struct {
            const char* when;
            const char* unit;
            const QString& sha;
            const char* result;
            const char* port;
            qint64 ms;
            double wire;
        } jobs[] = {
            {"2026-01-04T09:00:00", "SN1", shaA, "verified", "COM 1", 100000, 0.95},        // id 1
            {"2026-01-05T08:30:00", "SN2", shaA, "timeout", "COM 2", 50000, 0},             // id 2
            {"2026-01-05T12:00:00", "SN2", shaB, "verified", "COM 1", 120000, 0.6},         // id 3, a retry
            {"2026-01-05T23:59:59", "SN1", shaB, "unit_failed", "COM 2", 60000, 0.62},      // id 4
            {"2026-01-06T00:00:00", "SN3", shaB, "verified", "COM 1", 110000, 0.9},         // id 5
            {"2026-01-06T10:00:00", "", shaA, "factory_complete", "COM 2", 30000, 0},       // id 6
        };
        auto store = THistoryStore::Open(QString::fromStdString(db), error);
        EXPECT_TRUE(store) << error.toStdString();
        for (const auto& job : jobs) {
            TJobRecord r;
            r.Start = QDateTime::fromString(job.when, Qt::ISODate);
            r.UnitId = job.unit, r.InputSha256 = job.sha, r.Result = job.result, r.Job = "upload";
            r.PortName = job.port, r.DurationMs = job.ms, r.WireRatio = job.wire;
            EXPECT_TRUE(store->Write(r, error)) << error.toStdString();
        }
    }
    Outcome Run(QStringList args) const { return RunHistory(args, db, dir); }
};

std::vector<int> JsonIds(const std::string& out) {
    std::vector<int> ids;
    for (const QByteArray& line : QByteArray::fromStdString(out).split('\n'))
        if (!line.isEmpty()) ids.push_back(QJsonDocument::fromJson(line).object().value("id").toInt());
    return ids;
}

}  // namespace

TEST(HistoryCommand, EachFilterPicksItsRecordsNewestFirst) {
    const Fixture f;
    const QString a = QString::fromStdString(f.fileA), b = QString::fromStdString(f.fileB);
    const struct {
        QStringList args;
        std::vector<int> ids;
    } rows[] = {
        {{}, {6, 5, 4, 3, 2, 1}},
        {{"--since", "2026-01-05"}, {6, 5, 4, 3, 2}},
        {{"--until", "2026-01-05"}, {4, 3, 2, 1}},
        {{"--since", "2026-01-05 12:00", "--until", "2026-01-06T00:00"}, {5, 4, 3}},
        {{"--since", "2026-01-05T12:00:01"}, {6, 5, 4}},
        {{"--unit", "SN2"}, {3, 2}},
        {{"--unit", "SN"}, {}},
        {{"--file", a}, {6, 2, 1}},
        {{"--file", b, "--unit", "SN1"}, {4}},
        {{"--result", "verified"}, {5, 3, 1}},
        {{"--result", "verified", "--limit", "2"}, {5, 3}},
        {{"--limit", "1"}, {6}},
    };
    for (const auto& row : rows) {
        const Outcome o = f.Run(row.args + QStringList{"--json"});
        EXPECT_EQ(o.status, 0) << row.args.join(' ').toStdString() << ": " << o.err;
        EXPECT_EQ(JsonIds(o.out), row.ids) << row.args.join(' ').toStdString();
    }
}

TEST(HistoryCommand, TheTableCsvAndSummaryShowTheSameRecords) {
    const Fixture f;
    const Outcome table = f.Run({"--unit", "SN2"}), csv = f.Run({"--unit", "SN2", "--csv"}),
                  summary = f.Run({"--summary"});
    EXPECT_EQ(table.status + csv.status + summary.status, 0);
    EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 3) << table.out;
    EXPECT_NE(table.out.find("2026-01-05 12:00:00"), std::string::npos) << table.out;
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 3);
    EXPECT_EQ(csv.out.find("id,start_utc"), 0u);
    EXPECT_NE(summary.out.find("timeout"), std::string::npos) << summary.out;
}

// Each group's figures as --json gives them: "keys: units loaded first-pass/loaded-of-them median-s
// median-wire failures".
std::vector<std::string> Groups(const std::string& out) {
    std::vector<std::string> groups;
    for (const QByteArray& line : QByteArray::fromStdString(out).split('\n')) {
        if (line.isEmpty()) continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        QString keys;
        for (const char* k : {"port", "station", "recipe", "day", "hour"})
            if (o.contains(k)) keys += (keys.isEmpty() ? "" : ",") + o.value(k).toString();
        QString failures;
        const QJsonObject f = o.value("failures").toObject();
        for (auto i = f.begin(); i != f.end(); ++i) failures += " " + i.key() + "=" + QString::number(i.value().toInt());
        const QJsonValue wire = o.value("median_wire_ratio");
        groups.push_back(QString("%1: %2 %3 %4/%5 %6 %7%8")
                             .arg(keys)
                             .arg(o.value("units").toInt())
                             .arg(o.value("loaded").toInt())
                             .arg(o.value("first_pass").toInt())
                             .arg(o.value("first_pass_loaded").toInt())
                             .arg(o.value("median_duration_ms").toDouble() / 1000)
                             .arg(wire.isNull() ? QString("-") : QString::number(wire.toDouble()))
                             .arg(failures)
                             .toStdString());
    }
    return groups;
}

// The database sums up each group: a unit given its id again after a failure is a retry (SN2 at
// noon on the 5th), not a first pass; medians of an even count are the mean of the middle two.
TEST(HistoryCommand, TheSummaryByGroupIsWorkedOutByTheDatabase) {
    const Fixture f;
    const struct {
        QStringList args;
        std::vector<std::string> groups;
    } rows[] = {
        {{"--by", "day"},
         {"2026-01-04: 1 1 1/1 100 0.95", "2026-01-05: 3 1 2/0 60 0.61 timeout=1 unit_failed=1",
          "2026-01-06: 2 2 2/2 70 0.9"}},
        {{"--by", "port"}, {"COM 1: 3 3 2/2 110 0.9", "COM 2: 3 1 3/1 50 0.62 timeout=1 unit_failed=1"}},
        {{"--by", "port,day", "--since", "2026-01-06"}, {"COM 1,2026-01-06: 1 1 1/1 110 0.9", "COM 2,2026-01-06: 1 1 1/1 30 -"}},
        {{"--by", "recipe", "--result", "verified"}, {": 3 3 2/2 110 0.9"}},
    };
    for (const auto& row : rows) {
        const Outcome o = f.Run(QStringList{"--summary", "--json"} + row.args);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(Groups(o.out), row.groups) << row.args.join(' ').toStdString() << "\n" << o.out;
    }
    const Outcome table = f.Run({"--summary", "--by", "day"}), csv = f.Run({"--summary", "--by", "day", "--csv"});
    EXPECT_EQ(table.out.substr(0, table.out.find('\n')), "Day               Units  Loaded  First pass  Median s  Wire  Failures");
    EXPECT_NE(table.out.find("2026-01-05            3       1        0.0%      60.0  0.61  timeout 1, unit_failed 1"),
              std::string::npos) << table.out;
    EXPECT_NE(csv.out.find("2026-01-05,3,1,2,0,0.0000,60000,0.610,timeout 1; unit_failed 1\r\n"), std::string::npos)
        << csv.out;
}

TEST(HistoryCommand, BadInputIsOneLineAndStatusTwo) {
    const Fixture f;
    std::filesystem::create_directory(f.dir / "folder");
    const struct {
        QStringList args;
        const char* says;
    } rows[] = {
        {{"--since", "yesterday"}, "--since must be a date"},
        {{"--since", "2026-02-30"}, "--since must be a date"},
        {{"--until", "5"}, "--until must be a date"},
        {{"--limit", "0"}, "--limit must be a whole number"},
        {{"--limit", "-3"}, "--limit must be a whole number"},
        {{"--limit", "x"}, "--limit must be a whole number"},
        {{"--result", "great"}, "--result must be one of"},
        {{"--record-db", "mysql://line@db/mxr"}, "unknown record database scheme 'mysql://'"},
        {{"--record-db", "postgresql://line@db"}, "names no database"},
        {{"--csv", "--json"}, "one of --csv, --json and --summary"},
        {{"--file", QString::fromStdString(f.dir / "none.h86")}, "No such file or directory"},
        {{"--file", QString::fromStdString(f.dir / "folder")}, "is not a regular file"},
        {{"--bogus"}, "Unknown option"},
        {{"a.h86"}, "history takes no 'a.h86'"},
    };
    for (const auto& row : rows) {
        const Outcome o = f.Run(row.args);
        EXPECT_EQ(o.status, 2) << row.args.join(' ').toStdString();
        EXPECT_EQ(o.out, "") << row.args.join(' ').toStdString();
        EXPECT_EQ(o.err.rfind("zupflshc: ", 0), 0u) << o.err;
        EXPECT_NE(o.err.find(row.says), std::string::npos) << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    }
}

// Reading never makes a database: a mistyped path is reported, and nothing is left behind.
TEST(HistoryCommand, AMissingDatabaseIsReportedNotCreated) {
    const TempDir dir;
    const Outcome o = RunHistory({}, dir / "history.sqlite", dir);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("does not exist"), std::string::npos) << o.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "history.sqlite"));
}

// The jobs' record options are checked before any port is opened: a job must not run for minutes
// only to find at its end that its record has nowhere to go.
TEST(HistoryCommand, TheJobsRecordOptionsAreCheckedBeforeTheJob) {
    const struct {
        QStringList args;
        const char* says;  // "" = accepted
    } rows[] = {
        {{"upload", "fw.h86", "--record-db", "/srv/line1.sqlite", "--unit-id", "SN 42"}, ""},
        {{"factory", "--record-db", "postgresql://line@db/mxr", "--yes"}, ""},
        {{"upload", "fw.h86", "--record-db", "mysql://line@db/mxr"}, "unknown record database scheme"},
        {{"factory", "--record-db", "postgresql://line@db"}, "names no database"},
        // The rule of a scanner line and a tile: an invisible character would make a second id that looks the same.
        {{"upload", "fw.h86", "--unit-id", "SN\x1b[2J"}, "--unit-id: unit id 'SN<1B>[2J' refused"},
        {{"upload", "fw.h86", "--unit-id", QString::fromUtf8("47\u200b11")}, "at most 128 printable characters"},
        {{"upload", "fw.h86", "--unit-id", QString(129, 'x')}, "at most 128 printable characters"},
        {{"upload", "fw.h86", "--unit-id", " "}, "needs the unit's id"},
        {{"prepare", "fw.h86", "--record-db", "h.sqlite"}, "does not take --record-db"},
    };
    for (const auto& row : rows) {
        TCliOptions options;
        QString error;
        const TParse parse = ParseCommandLine(row.args, options, error);
        EXPECT_EQ(parse == TParse::Run, *row.says == '\0') << row.args.join(' ').toStdString();
        EXPECT_TRUE(error.contains(row.says)) << error.toStdString();
        if (parse == TParse::Run) {
            EXPECT_EQ(QString::fromStdString(options.RecordDb), row.args[row.args.indexOf("--record-db") + 1]);
        }
    }
}
