// The production record on a PostgreSQL server: run by tools/with-postgres, which starts a
// throw-away cluster and sets ZUP_TEST_PG to it; skipped without one.
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <set>

#include "history/HistoryFormat.h"
#include "history/HistoryGroups.h"
#include "history/HistoryStore.h"
#include "history/HistorySchema.h"
#include "history/RecordKeeping.h"
#include "history/ResultRecord.h"
#include "support/HistorySums.h"
#include "support/HistoryWriters.h"
#include "support/TempDir.h"

namespace {

QString Server() { return QString::fromLocal8Bit(std::getenv("ZUP_TEST_PG")); }

#define NEEDS_SERVER()                                                                          \
    if (Server().isEmpty()) GTEST_SKIP() << "ZUP_TEST_PG is not set (tools/with-postgres CMD " \
                                            "runs CMD against a throw-away server)"

}  // namespace

TEST(HistoryPostgres, ARecordComesBackWithEveryField) {
    NEEDS_SERVER();
    QString error;
    auto store = THistoryStore::Open(Server(), error);
    ASSERT_TRUE(store) << error.toStdString();
    EXPECT_EQ(store->SchemaVersion(), HistorySchema::kCurrentVersion);
    TJobRecord r;
    r.Start = QDateTime(QDate(2026, 1, 5), QTime(13, 5, 9, 123), Qt::UTC);
    r.Job = "upload", r.Station = "line1-st2", r.Result = "checksums_different";
    r.UnitId = "pg-roundtrip-" + QString::number(QDateTime::currentMSecsSinceEpoch());
    r.UnitChecksum = QString::fromLatin1("3F\0A", 4);
    r.Warnings = {"a, \"b\"", "two\nlines"};
    r.InputSize = 5000000000;
    r.RecordId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    r.Recipe = "line3.json", r.RecipeSha256 = QString(64, 'a'), r.RecipeKeyId = "0123456789abcdef";
    r.UploadSha256 = QString(64, 'c');
    r.PortName = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0", r.Device = "/dev/ttyUSB1";
    r.DeviceByPath = r.PortName;
    r.WireRatio = 0.6125, r.ReplyMedianMs = 18.25, r.PortUnit = 7;
    ASSERT_TRUE(store->Write(r, error, &r.Id)) << error.toStdString();
    EXPECT_GT(r.Id, 0);
    THistoryFilter filter;
    filter.UnitId = r.UnitId;
    std::vector<TJobRecord> read;
    ASSERT_TRUE(store->Query(filter, read, error)) << error.toStdString();
    ASSERT_EQ(read.size(), 1u);
    r.UnitChecksum = QString("3F") + QChar(0xFFFD) + "A";
    EXPECT_EQ(JsonLine(read[0]).toStdString(), JsonLine(r).toStdString());
    for (const auto& [key, rows] : {std::pair{"0123456789ABCDEF", 1u}, std::pair{"fedcba9876543210", 0u}}) {
        filter.SignedBy = key;
        read.clear();
        ASSERT_TRUE(store->Query(filter, read, error)) << error.toStdString();
        EXPECT_EQ(read.size(), rows) << key;
    }
}

// The same records on the server and in a station's file sum up alike, each grouped by its own
// database; a unit failed at one station and retried at another is a retry on the server.
TEST(HistoryPostgres, TheSummaryByGroupIsTheSameAsAFilesSummary) {
    NEEDS_SERVER();
    const QString run = QUuid::createUuid().toString(QUuid::WithoutBraces);
    TempDir dir;
    QString error;
    auto server = THistoryStore::Open(Server(), error);
    ASSERT_TRUE(server) << error.toStdString();
    auto file = THistoryStore::Open(QString::fromStdString(dir / "history.sqlite"), error);
    ASSERT_TRUE(file) << error.toStdString();
    const TSumsJob jobs[] = {
        {"st1", "COM 1", 8, "A", "unit_failed", 40000, 0.6},  {"st2", "COM 1", 9, "A", "verified", 100000, 0.97},
        {"st1", "COM 1", 9, "B", "verified", 90000, 0.61},    {"st1", "COM 2", 9, "C", "timeout", 20000, 0},
        {"st1", "COM 2", 10, "", "port_failed", 0, 0},        {"st2", "COM 2", 10, "D", "verified", 95000, 0.98},
        {"st2", "COM 1", 23, "E", "verified", 97000, 0.96},   {"st1", "COM 1", 23, "B", "verified", 98000, 0.62},
    };
    for (const auto& job : jobs) {
        // Units and recipe of this run only: the server keeps other runs' records.
        TJobRecord r = SumsRecord(job);
        r.UnitId = *job.unit ? run + job.unit : QString();
        r.Recipe = run;
        ASSERT_TRUE(server->Write(r, error) && file->Write(r, error)) << error.toStdString();
    }
    THistoryFilter mine;
    mine.Recipe = run;
    for (const char* by : {"port", "station,day", "hour,port", "recipe"}) {
        std::vector<TGroupKey> keys;
        ASSERT_TRUE(ParseGroupKeys(by, keys, error));
        std::vector<TGroupRow> onServer, inFile;
        ASSERT_TRUE(server->Summarize(mine, keys, onServer, error)) << error.toStdString();
        ASSERT_TRUE(file->Summarize(mine, keys, inFile, error)) << error.toStdString();
        EXPECT_EQ(GroupJson(keys, onServer).toStdString(), GroupJson(keys, inFile).toStdString()) << by;
    }
    // The server's sums answer as its rows do (each bucket here holds one value: exact), its days
    // filed under this station's zone, not the server's.
    THistoryFilter fromNine = mine, theDay = mine;
    fromNine.Since = QDateTime(QDate(2026, 3, 2), QTime(9, 0));
    theDay.Since = QDateTime(QDate(2026, 3, 2), QTime(0, 0));
    theDay.Before = QDateTime(QDate(2026, 3, 3), QTime(0, 0));
    THistoryFilter signedBy = mine;
    signedBy.SignedBy = "00aa11bb22cc33dd";
    const std::pair<const char*, THistoryFilter> filters[] = {
        {"mine", mine}, {"from nine", fromNine}, {"the day", theDay}, {"signed by", signedBy}};
    for (const auto& [what, filter] : filters) ExpectSumsAsRows(*server, filter, what);
    QSqlQuery filed(QSqlDatabase::database(server->ConnectionName()));
    ASSERT_TRUE(filed.exec("SELECT DISTINCT day, utc_offset FROM job_rollup_day WHERE recipe = '" + run + "'"))
        << filed.lastError().text().toStdString();
    while (filed.next())
        EXPECT_EQ(filed.value(1).toLongLong(),
                  QDateTime(QDate::fromString(filed.value(0).toString(), Qt::ISODate), QTime(12, 0)).offsetFromUtc());
    std::vector<TGroupRow> all;
    ASSERT_TRUE(server->Summarize(mine, {TGroupKey::Recipe}, all, error)) << error.toStdString();
    ASSERT_EQ(all.size(), 1u);
    // A's second try is no first pass; B's second record followed a success.
    EXPECT_EQ(all[0].Units, 7);
    EXPECT_EQ(all[0].FirstPass, 6);
    EXPECT_EQ(all[0].FirstPassLoaded, 4);
    EXPECT_EQ(all[0].MedianDurationMs, 95000);
    EXPECT_NEAR(all[0].MedianWireRatio, 0.79, 1e-9);  // the middle two of six
    EXPECT_EQ(all[0].Failures, (std::map<QString, qint64>{{"port_failed", 1}, {"timeout", 1}, {"unit_failed", 1}}));
}

// A database an older program made (schema version 4, with a row) is upgraded in place: the row
// stays, without an upload digest or port name it never knew, and a new record keeps its own.
TEST(HistoryPostgres, AVersionFourDatabaseIsUpgradedWithItsRows) {
    NEEDS_SERVER();
    const QString name = "zup_v4_" + QUuid::createUuid().toString(QUuid::Id128);
    const auto raw = [&](const QString& database, const QStringList& statements) {
        const QString connection = QUuid::createUuid().toString();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", connection);
            db.setHostName(QUrlQuery(QUrl(Server())).queryItemValue("host"));
            db.setUserName("zup");
            db.setDatabaseName(database);
            EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
            QSqlQuery q(db);
            for (const QString& sql : statements)
                EXPECT_TRUE(q.exec(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
        }
        QSqlDatabase::removeDatabase(connection);
    };
    raw("zup_test", {"CREATE DATABASE " + name});
    QStringList version4;
    for (int v = 0; v < 4; ++v) version4 += HistorySchema::StepFrom(v, HistorySchema::TDialect::Postgres);
    version4 << "INSERT INTO job_record (start_utc, job, result, record_id)"
                " VALUES ('2026-01-05T08:00:00.000Z', 'upload', 'verified', 'old-row')";
    raw(name, version4);
    QString error;
    auto store = THistoryStore::Open(QString(Server()).replace("/zup_test?", "/" + name + "?"), error);
    ASSERT_TRUE(store) << error.toStdString();
    EXPECT_EQ(store->SchemaVersion(), HistorySchema::kCurrentVersion);
    TJobRecord r;
    r.Start = QDateTime(QDate(2026, 1, 6), QTime(9, 0), Qt::UTC);
    r.Job = "upload", r.Result = "verified", r.RecordId = "new-row", r.UploadSha256 = QString(64, 'd');
    r.PortName = "COM 3", r.RecipeKeyId = "0123456789abcdef";
    ASSERT_TRUE(store->Write(r, error)) << error.toStdString();
    std::vector<TJobRecord> read;
    ASSERT_TRUE(store->Query({}, read, error)) << error.toStdString();
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].UploadSha256, r.UploadSha256);
    EXPECT_EQ(read[0].PortName, r.PortName);
    EXPECT_EQ(read[1].RecordId, "old-row");
    EXPECT_EQ(read[0].RecipeKeyId, r.RecipeKeyId);
    EXPECT_TRUE(read[1].UploadSha256.isEmpty() && read[1].PortName.isEmpty() && read[1].DeviceByPath.isEmpty() &&
                read[1].RecipeKeyId.isEmpty());
}

TEST(HistoryPostgres, TwoProcessesWritingAtOnceLoseNothing) {
    NEEDS_SERVER();
    const QString run = QString::number(QDateTime::currentMSecsSinceEpoch());
    const QStringList units = {"pg-a-" + run, "pg-b-" + run};
    RunWritersAtOnce(Server(), units, 200);
    QString error;
    auto store = THistoryStore::Open(Server(), error);
    ASSERT_TRUE(store) << error.toStdString();
    std::set<qint64> ids;
    for (const QString& unit : units) {
        const std::vector<qint64> unitIds = UnitRecordIds(*store, unit);
        EXPECT_EQ(unitIds.size(), 200u);
        ids.insert(unitIds.begin(), unitIds.end());
    }
    EXPECT_EQ(ids.size(), 400u);
}

namespace {

QString Program() { return QString(ZUP_RUNTIME_DIR) + "/zupflshc"; }

TJobRecord Unit(const QString& run, int n) {
    TJobRecord r;
    r.Start = QDateTime::currentDateTimeUtc();
    r.Job = "upload", r.Result = "sent", r.Station = "st-forward", r.RunId = run;
    r.UnitId = QString("%1-%2").arg(run).arg(n);
    r.RecordId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    return r;
}

int RecordsOfRun(const QString& run) {
    QString error;
    auto store = THistoryStore::Open(Server(), error);
    EXPECT_TRUE(store) << error.toStdString();
    int count = 0;
    EXPECT_TRUE(store && store->Query({}, [&](const TJobRecord& r) { count += r.RunId == run; }, error));
    return count;
}

}  // namespace

// The server away for two jobs (a socket folder nobody listens in), back for the third: the third's
// record brings the two kept locally with it, and --sync (twice) forwards nothing again.
TEST(HistoryPostgres, RecordsKeptWhileTheServerWasAwayReachItExactlyOnce) {
    NEEDS_SERVER();
    TempDir dir;
    ::mkdir((dir / "nosocket").c_str(), 0700);
    const QString local = QString::fromStdString(dir / "history.sqlite");
    const QString run = "fwd-" + QUuid::createUuid().toString(QUuid::WithoutBraces);
    THistoryLocation away, back;
    QString error, message;
    ASSERT_TRUE(ParseHistoryLocation("postgresql://zup@/zup_test?host=" + QString::fromStdString(dir / "nosocket"),
                                     away, error));
    ASSERT_TRUE(ParseHistoryLocation(Server(), back, error));
    EXPECT_TRUE(RecordStoreProblem(away).empty());  // away now: the job goes on
    for (int n = 1; n <= 2; ++n)
        EXPECT_EQ(TRecordKeeper(away, local).Keep(Unit(run, n), message), TRecordFate::KeptLocally) << message.toStdString();
    EXPECT_EQ(TRecordKeeper(back, local).Keep(Unit(run, 3), message), TRecordFate::Kept) << message.toStdString();
    EXPECT_EQ(RecordsOfRun(run), 3);
    for (int i = 0; i < 2; ++i) {
        QProcess sync;
        sync.start(Program(), {"history", "--sync", "--record-db", Server(), "--local", local});
        ASSERT_TRUE(sync.waitForFinished(60000));
        EXPECT_EQ(sync.exitCode(), 0) << sync.readAllStandardError().toStdString();
        EXPECT_TRUE(sync.readAllStandardOutput().startsWith("0 records forwarded"));
    }
    EXPECT_EQ(RecordsOfRun(run), 3);
    EXPECT_EQ(TRecordKeeper(back, local).Waiting(), 0);
}

// A database the server does not have can never work: refused before the unit.
TEST(HistoryPostgres, ALocationTheServerRefusesRefusesTheJob) {
    NEEDS_SERVER();
    THistoryLocation wrong;
    QString error;
    ASSERT_TRUE(ParseHistoryLocation(QString(Server()).replace("/zup_test?", "/no_such_db?"), wrong, error));
    EXPECT_NE(RecordStoreProblem(wrong).find("does not exist"), std::string::npos) << RecordStoreProblem(wrong);
}

// history --follow on the server prints what another process keeps, as it is kept.
TEST(HistoryPostgres, FollowPrintsARecordKeptByAnotherProcess) {
    NEEDS_SERVER();
    QProcess follow;
    follow.start(Program(), {"history", "--follow", "--json", "--record-db", Server()});
    ASSERT_TRUE(follow.waitForStarted());
    const QString run = "follow-" + QUuid::createUuid().toString(QUuid::WithoutBraces);
    QString error;
    auto store = THistoryStore::Open(Server(), error);
    ASSERT_TRUE(store) << error.toStdString();
    QByteArray out;
    // Records until the follower, once it listens, has printed one: it may start listening late.
    for (int n = 0; n < 300 && !out.contains(run.toUtf8()); ++n) {
        ASSERT_TRUE(store->Write(Unit(run, n), error)) << error.toStdString();
        follow.waitForReadyRead(100);
        out += follow.readAllStandardOutput();
    }
    EXPECT_TRUE(out.contains(run.toUtf8())) << out.toStdString();
    follow.terminate();
    ASSERT_TRUE(follow.waitForFinished(10000));
    EXPECT_EQ(follow.exitCode(), 0) << follow.readAllStandardError().toStdString();
}

// history --follow outlives its server's connection: every backend but the test's own is ended
// server side (pg_terminate_backend, as a restart ends them; the throw-away server is not restarted
// under the tests beside it), the follower says so once, connects again, and prints the record kept
// while it was away.
TEST(HistoryPostgres, FollowOutlivesItsServersConnection) {
    NEEDS_SERVER();
    QProcess follow;
    follow.start(Program(), {"history", "--follow", "--json", "--record-db", Server()});
    ASSERT_TRUE(follow.waitForStarted());
    const QString run = "outlive-" + QUuid::createUuid().toString(QUuid::WithoutBraces);
    QString error;
    auto store = THistoryStore::Open(Server(), error);
    ASSERT_TRUE(store) << error.toStdString();
    QByteArray out;
    for (int n = 0; n < 300 && !out.contains((run + "-first").toUtf8()); ++n) {
        TJobRecord first = Unit(run, 0);
        first.UnitId = run + "-first";
        if (n % 10 == 0) {
            ASSERT_TRUE(store->Write(first, error)) << error.toStdString();
        }
        follow.waitForReadyRead(100);
        out += follow.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains((run + "-first").toUtf8())) << out.toStdString();
    QSqlQuery end(QSqlDatabase::database(store->ConnectionName(), false));
    ASSERT_TRUE(end.exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                         "WHERE pid <> pg_backend_pid() AND datname = current_database()"));
    TJobRecord meanwhile = Unit(run, 1);
    meanwhile.UnitId = run + "-meanwhile";
    ASSERT_TRUE(store->Write(meanwhile, error)) << error.toStdString();
    for (int n = 0; n < 300 && !out.contains(meanwhile.UnitId.toUtf8()); ++n) {
        follow.waitForReadyRead(100);
        out += follow.readAllStandardOutput();
    }
    EXPECT_TRUE(out.contains(meanwhile.UnitId.toUtf8())) << out.toStdString();
    EXPECT_EQ(follow.state(), QProcess::Running);
    follow.terminate();
    ASSERT_TRUE(follow.waitForFinished(10000));
    EXPECT_EQ(follow.exitCode(), 0);
    const QString said = QString::fromLocal8Bit(follow.readAllStandardError());
    EXPECT_EQ(said.count("went away"), 1) << said.toStdString();
}
