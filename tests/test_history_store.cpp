// The production record in SQLite: every field comes back as written, stations write at once
// without losing a record, every way a store can be unusable is reported (never a hang, never a
// silent success), older files are upgraded with their rows, and a server that is down leaves the
// record in the local file.
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

#include "history/HistoryFormat.h"
#include "history/HistoryStore.h"
#include "history/HistorySchema.h"
#include "history/RecordKeeping.h"
#include "history/ResultRecord.h"
#include "host/PortSource.h"
#include "support/AsUser.h"
#include "support/HistorySums.h"
#include "support/HistoryWriters.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

mode_t Umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

TJobRecord FullRecord(const QString& kind, int n) {
    TJobRecord r;
    r.Start = QDateTime(QDate(2026, 1, 5), QTime(13, 5, 9, 123), Qt::UTC).addSecs(60 * n);
    r.DurationMs = 151234 + n;
    r.Station = "line1-st2", r.User = "operator", r.ProgramVersion = "1.0";
    r.Job = "upload";
    r.PortName = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0", r.Device = "/dev/ttyUSB0";
    r.DeviceById = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", r.DeviceByPath = r.PortName;
    r.AdapterSerial = "A1B2C3", r.ComPort = 3, r.Baud = 57600;
    r.InputFile = "/home/op/fw, \"v2\"/mxr2-main.h86", r.InputSize = 11800000;
    r.InputSha256 = QString(64, 'a'), r.Blocks = 4000, r.FileChecksum = "3FA2", r.UnitChecksum = "3FA2";
    r.UploadSha256 = QString(64, 'b');
    r.UnitVersion = "MXR2 V4.11", r.UnitId = QString("SN-%1-é").arg(n);
    r.Result = kind, r.Reason = "Checksums match, Upload successful";
    r.Warnings = {"slow start, resent block 12", "two\nlines"};
    r.BlocksSent = 4000, r.CapturePath = "/home/op/records/SN.txt", r.RunId = "run-7";
    r.RecordId = QString("rec-%1").arg(n);
    return r;
}

std::unique_ptr<THistoryStore> OpenOk(const std::string& path, const TStoreOptions& options = {}) {
    QString error;
    auto store = THistoryStore::Open(Q(path), error, options);
    EXPECT_TRUE(store) << error.toStdString();
    return store;
}

QString OpenError(const std::string& path, const TStoreOptions& options = {}) {
    QString error;
    EXPECT_FALSE(THistoryStore::Open(Q(path), error, options));
    return error;
}

// A connection of the test's own, as another program (or an older zupflshc) would have.
class RawSqlite {
public:
    explicit RawSqlite(const std::string& path) : name_(QUuid::createUuid().toString()) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name_);
        db.setDatabaseName(Q(path));
        EXPECT_TRUE(db.open());
    }
    ~RawSqlite() {
        QSqlDatabase::database(name_, false).close();
        QSqlDatabase::removeDatabase(name_);
    }
    void Exec(const QString& sql) {
        QSqlQuery q(QSqlDatabase::database(name_, false));
        EXPECT_TRUE(q.exec(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
    }
    QVariant Value(const QString& sql) {
        QSqlQuery q(QSqlDatabase::database(name_, false));
        EXPECT_TRUE(q.exec(sql) && q.next()) << sql.toStdString();
        return q.value(0);
    }

private:
    QString name_;
};

}  // namespace

TEST(HistoryStore, EveryFieldComesBackForEveryResultKind) {
    const struct {
        const char* kind;
        std::function<void(TJobRecord&)> tweak;
    } rows[] = {
        {"verified", [](TJobRecord&) {}},
        {"sent", [](TJobRecord& r) { r.Blocks = 300, r.BlocksSent = 300, r.UnitChecksum.clear(); }},
        {"not_verified", [](TJobRecord& r) { r.UnitChecksum.clear(), r.Reason = "No reply to FCS"; }},
        {"checksums_different", [](TJobRecord& r) { r.UnitChecksum = "3FA3", r.Warnings.clear(); }},
        {"unit_failed", [](TJobRecord& r) { r.BlocksSent = 17, r.Reason = "UPLOAD FAILED"; }},
        {"timeout", [](TJobRecord& r) { r.BlocksSent = 0, r.UnitVersion.clear(); }},
        {"port_failed", [](TJobRecord& r) { r.Reason = "Device or resource busy", r.AdapterSerial.clear(); }},
        {"file_failed", [](TJobRecord& r) { r.Reason = "line 12: bad checksum", r.Blocks = 0; }},
        {"factory_complete", [](TJobRecord& r) { r.Job = "factory", r.InputFile.clear(), r.InputSize = 0; }},
        {"interrupted", [](TJobRecord& r) { r.BlocksSent = 1234, r.UnitId.clear(), r.RunId.clear(); }},
    };
    TempDir dir;
    auto store = OpenOk(dir / "history.sqlite");
    ASSERT_TRUE(store);
    for (size_t i = 0; i < std::size(rows); ++i) {
        TJobRecord written = FullRecord(rows[i].kind, static_cast<int>(i));
        rows[i].tweak(written);
        QString error;
        ASSERT_TRUE(store->Write(written, error, &written.Id)) << error.toStdString();
        std::vector<TJobRecord> read;
        THistoryFilter filter;
        filter.Limit = 1;
        ASSERT_TRUE(store->Query(filter, read, error)) << error.toStdString();
        ASSERT_EQ(read.size(), 1u);
        EXPECT_EQ(JsonLine(read[0]).toStdString(), JsonLine(written).toStdString()) << rows[i].kind;
        EXPECT_TRUE(read[0] == written) << rows[i].kind;
    }
}

// A unit's reply may hold any byte; PostgreSQL text cannot hold NUL, so neither store keeps it,
// and the record is kept rather than refused.
TEST(HistoryStore, ANulInAUnitsReplyDoesNotLoseTheRecord) {
    TempDir dir;
    auto store = OpenOk(dir / "history.sqlite");
    TJobRecord r = FullRecord("checksums_different", 0);
    r.UnitChecksum = QString::fromLatin1("3F\0A", 4);
    QString error;
    ASSERT_TRUE(store->Write(r, error)) << error.toStdString();
    std::vector<TJobRecord> read;
    ASSERT_TRUE(store->Query({}, read, error));
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].UnitChecksum, QString("3F") + QChar(0xFFFD) + "A");
}

TEST(HistoryStore, TwoProcessesWritingAtOnceLoseNothing) {
    TempDir dir;
    const std::string path = dir / "history.sqlite";
    RunWritersAtOnce(Q(path), {"port1", "port2"}, 200);
    auto store = OpenOk(path);
    ASSERT_TRUE(store);
    std::set<qint64> ids;
    for (const QString unit : {"port1", "port2"}) {
        const std::vector<qint64> unitIds = UnitRecordIds(*store, unit);
        EXPECT_EQ(unitIds.size(), 200u) << unit.toStdString();
        ids.insert(unitIds.begin(), unitIds.end());
    }
    EXPECT_EQ(ids.size(), 400u);
}

TEST(HistoryStore, AnUnusablePathIsReportedNotCreated) {
    TempDir dir;
    fs::create_directory(dir / "folder.sqlite");
    ASSERT_EQ(::mkfifo((dir / "fifo.sqlite").c_str(), 0600), 0);
    WriteWholeFile(dir / "corrupt.sqlite", std::string(8192, 'x'));
    {
        RawSqlite other(dir / "other.sqlite");
        other.Exec("CREATE TABLE settings (name TEXT)");
    }
    const struct {
        const char* name;
        const char* says;
    } rows[] = {
        {"folder.sqlite", "is a folder"},
        {"fifo.sqlite", "is not a regular file"},
        {"corrupt.sqlite", "file is not a database"},
        {"other.sqlite", "is not a production record"},
        {"missing/history.sqlite", "cannot be written"},
    };
    for (const auto& row : rows) {
        const QString error = OpenError(dir / row.name);
        EXPECT_TRUE(error.contains(row.says)) << row.name << ": " << error.toStdString();
        EXPECT_TRUE(error.contains(row.name)) << error.toStdString();
    }
    EXPECT_EQ(ReadWholeFile(dir / "corrupt.sqlite"), std::string(8192, 'x'));
}

// File modes do not bind root; a read-only mount does (ReadOnlyMount below).
TEST(HistoryStore, AReadOnlyFileOrFolderIsReported) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes whatever the file modes say; ReadOnlyMount covers root";
    TempDir dir;
    fs::create_directory(dir / "ro");
    const std::string file = dir / "history.sqlite", inFolder = dir / "ro/history.sqlite";
    OpenOk(file);
    OpenOk(inFolder);
    ::chmod(file.c_str(), 0444);
    ::chmod((dir / "ro").c_str(), 0555);
    EXPECT_TRUE(OpenError(file).contains("cannot be written: Permission denied")) << OpenError(file).toStdString();
    EXPECT_TRUE(OpenError(inFolder).contains("folder of")) << OpenError(inFolder).toStdString();
    ::chmod((dir / "ro").c_str(), 0755);
}

// A tiny file system of its own, unmounted when the test ends.
class TmpfsMount {
public:
    TmpfsMount(const std::string& at, const char* options) : at_(at) {
        mounted_ = ::geteuid() == 0 && ::mount("tmpfs", at.c_str(), "tmpfs", 0, options) == 0;
    }
    ~TmpfsMount() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }
    bool RemountReadOnly() { return ::mount("tmpfs", at_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0; }

private:
    std::string at_;
    bool mounted_ = false;
};

TEST(HistoryStore, ReadOnlyMount) {
    TempDir dir;
    TmpfsMount mount(dir.Path(), "size=1m");
    if (!mount.Mounted()) GTEST_SKIP() << "needs root and permission to mount a tmpfs";
    const std::string path = dir / "history.sqlite";
    OpenOk(path);
    ASSERT_TRUE(mount.RemountReadOnly());
    EXPECT_TRUE(OpenError(path).contains("Read-only file system")) << OpenError(path).toStdString();
}

// A full disk (a tiny tmpfs: "no space left on the device", or a cap on the file) ends a write with the reason; every record
// written before it is still there, and the one that failed is not half kept.
TEST(HistoryStore, AFullDiskIsReportedAndKeepsWhatWasWritten) {
    TempDir dir;
    fs::create_directory(dir / "tiny");
    TmpfsMount mount(dir / "tiny", "size=256k");
    const struct {
        const char* name;
        bool needsMount;
        int maxPages;
        const char* says;
    } rows[] = {{"tmpfs", true, 0, "no space left on the device"}, {"max_page_count", false, 32, "full"}};
    for (const auto& row : rows) {
        if (row.needsMount && !mount.Mounted()) continue;
        const std::string path = dir / (row.needsMount ? "tiny/history.sqlite" : "capped.sqlite");
        TStoreOptions options;
        options.MaxPageCount = row.maxPages;
        auto store = OpenOk(path, options);
        ASSERT_TRUE(store) << row.name;
        TJobRecord r = FullRecord("verified", 0);
        r.Reason = QString(2000, 'r');
        QString error;
        int kept = 0;
        for (; kept < 100000; ++kept) {
            r.RecordId = QString("fill-%1").arg(kept);
            if (!store->Write(r, error)) break;
        }
        EXPECT_TRUE(error.contains(row.says)) << row.name << ": " << error.toStdString();
        std::vector<TJobRecord> read;
        EXPECT_TRUE(store->Query({}, read, error)) << error.toStdString();
        EXPECT_EQ(static_cast<int>(read.size()), kept) << row.name;
        EXPECT_GT(kept, 0) << row.name;
    }
}

// Another connection holding the file: the store waits its busy timeout, then says so.
TEST(HistoryStore, ALockHeldPastTheTimeoutIsReported) {
    TempDir dir;
    const std::string path = dir / "history.sqlite";
    TStoreOptions shortWait;
    shortWait.BusyTimeoutMs = 50;
    auto store = OpenOk(path, shortWait);
    ASSERT_TRUE(store);
    QString error;
    {
        RawSqlite writer(path);
        writer.Exec("BEGIN IMMEDIATE");
        EXPECT_FALSE(store->Write(FullRecord("verified", 0), error));
        EXPECT_TRUE(error.contains("database is locked")) << error.toStdString();
    }
    store.reset();
    {
        RawSqlite holder(path);
        holder.Exec("PRAGMA locking_mode = EXCLUSIVE");
        holder.Exec("BEGIN EXCLUSIVE");
        holder.Exec("COMMIT");
        error = OpenError(path, shortWait);
        EXPECT_TRUE(error.contains("database is locked")) << error.toStdString();
    }
    store = OpenOk(path, shortWait);
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->Write(FullRecord("verified", 1), error)) << error.toStdString();
}


// The hourly and daily sums answer as the rows do, kept record by record (a record kept twice counted once)
// and made by the upgrade from the rows a version 6 file holds; values that share a bucket give
// medians within it. A bound inside an hour, a unit or the newest few are answered from the rows.
TEST(HistoryStore, TheSumsAnswerAsTheRowsDo) {
    TempDir dir;
    const std::string path = dir / "history.sqlite";
    const TSumsJob jobs[] = {
        {"st1", "COM 1", 8, "A", "unit_failed", 40100, 0.6},   {"st2", "COM 1", 9, "A", "verified", 100000, 0.97},
        {"st1", "COM 1", 9, "B", "verified", 90200, 0.6101},   {"st1", "COM 1", 9, "F", "verified", 90900, 0.6109},
        {"st1", "COM 2", 9, "C", "timeout", 20000, 0},         {"st1", "COM 2", 10, "", "port_failed", 0, 0},
        {"st2", "COM 2", 10, "D", "verified", 95000, 0.98},    {"st2", "", 23, "E", "verified", 97000, 0.96},
        {"st1", "COM 1", 23, "B", "verified", 98000, 0.62},    {"st1", "COM 1", 23, "G", "not_verified", 98500, 0.63},
    };
    {
        auto store = OpenOk(path);
        ASSERT_TRUE(store);
        QString error;
        for (const auto& job : jobs) {
            TJobRecord r = SumsRecord(job);
            r.Device = "/dev/ttyUSB7", r.Reason = QString("why ") + job.result;
            r.Recipe = job.hour < 10 ? "a.json" : job.hour == 23 ? "" : "b.json";
            r.RecordId = QString("rec-") + job.unit + job.station + QString::number(job.hour);
            ASSERT_TRUE(store->Write(r, error) && store->Write(r, error)) << error.toStdString();
        }
    }
    THistoryFilter none, fromNine, theDay, verified, recipe, signedBy, insideAnHour, unit, newest;
    signedBy.SignedBy = "00AA11BB22CC33DD";
    theDay.Since = QDateTime(QDate(2026, 3, 2), QTime(0, 0));
    theDay.Before = QDateTime(QDate(2026, 3, 3), QTime(0, 0));
    fromNine.Since = QDateTime(QDate(2026, 3, 2), QTime(9, 0));
    fromNine.Before = QDateTime(QDate(2026, 3, 2), QTime(23, 0));
    verified.Result = "verified";
    recipe.Recipe = "b.json";
    insideAnHour.Since = QDateTime(QDate(2026, 3, 2), QTime(9, 30));
    unit.UnitId = "B";
    newest.Limit = 3;
    const std::pair<const char*, THistoryFilter> filters[] = {{"all", none}, {"9 to 23", fromNine}, {"the day", theDay},
                                                              {"verified", verified}, {"recipe", recipe},
                                                              {"signed by", signedBy},
                                                              {"inside an hour", insideAnHour}, {"unit", unit},
                                                              {"newest", newest}};
    // As kept; with its days filed by a station ten hours east (read from the hours instead); then a
    // version 8, 7 and 6 file's rows summed by the upgrade (6's without signing keys: the upgrade
    // through 7 gives them none).
    const std::vector<const char*> daysDropped = {"DROP TRIGGER job_rollup_day_add", "DROP TABLE job_rollup_day",
                                                  "DROP TABLE job_rollup_day_bucket"};
    std::vector<const char*> sumsDropped = {"DROP TRIGGER job_rollup_add", "DROP TABLE job_rollup",
                                            "DROP TABLE job_rollup_bucket"};
    sumsDropped.insert(sumsDropped.end(), daysDropped.begin(), daysDropped.end());
    const std::vector<const char*> filedElsewhere = {
        "UPDATE job_rollup_day SET day = date(day, '+1 day'), utc_offset = utc_offset + 36000",
        "UPDATE job_rollup_day_bucket SET day = date(day, '+1 day'), utc_offset = utc_offset + 36000"};
    const std::vector<const char*> keyDropped = {"DROP INDEX job_record_recipe_key",
                                                 "ALTER TABLE job_record DROP COLUMN recipe_key_id"};
    const struct {
        int version;
        std::vector<const char*> undo;
    } steps[] = {{9, {}}, {9, filedElsewhere}, {8, daysDropped}, {7, sumsDropped}, {6, sumsDropped}};
    for (const auto& step : steps) {
        {
            RawSqlite old(path);
            for (const char* s : step.undo) old.Exec(s);
            if (step.version == 6)
                for (const char* s : keyDropped) old.Exec(s);
            old.Exec(QString("UPDATE schema_version SET version = %1").arg(step.version));
        }
        auto store = OpenOk(path);
        ASSERT_TRUE(store);
        EXPECT_EQ(store->SchemaVersion(), HistorySchema::kCurrentVersion);
        for (const auto& [what, filter] : filters) ExpectSumsAsRows(*store, filter, what);
    }
}

// The first record's table as the first program wrote it, with a row of that time.
TEST(HistoryStore, AVersionOneFileIsUpgradedWithItsRows) {
    TempDir dir;
    const std::string path = dir / "history.sqlite";
    {
        RawSqlite old(path);
        old.Exec("CREATE TABLE schema_version (version INTEGER NOT NULL)");
        old.Exec("INSERT INTO schema_version (version) VALUES (1)");
        old.Exec("CREATE TABLE job_record (id INTEGER PRIMARY KEY, start_utc TEXT NOT NULL,"
                 " duration_ms BIGINT NOT NULL DEFAULT 0, station TEXT NOT NULL DEFAULT '',"
                 " job TEXT NOT NULL DEFAULT '', device TEXT NOT NULL DEFAULT '',"
                 " input_file TEXT NOT NULL DEFAULT '', input_sha256 TEXT NOT NULL DEFAULT '',"
                 " blocks INTEGER NOT NULL DEFAULT 0, file_checksum TEXT NOT NULL DEFAULT '',"
                 " unit_checksum TEXT NOT NULL DEFAULT '', result TEXT NOT NULL DEFAULT '',"
                 " reason TEXT NOT NULL DEFAULT '')");
        old.Exec("CREATE INDEX job_record_start ON job_record (start_utc)");
        old.Exec("INSERT INTO job_record (start_utc, duration_ms, station, job, device, input_file, input_sha256,"
                 " blocks, file_checksum, unit_checksum, result, reason) VALUES ('2025-06-01T08:00:00.000Z',"
                 " 150000, 'st1', 'upload', '/dev/ttyS0', '/fw/a.h86', 'ab', 4000, '1234', '1234',"
                 " 'verified', 'Checksums match')");
    }
    TStoreOptions reading;
    reading.ReadOnly = true;
    EXPECT_TRUE(OpenError(path, reading).contains("schema version 1"));
    auto store = OpenOk(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->SchemaVersion(), HistorySchema::kCurrentVersion);
    QString error;
    ASSERT_TRUE(store->Write(FullRecord("timeout", 0), error)) << error.toStdString();
    std::vector<TJobRecord> read;
    ASSERT_TRUE(store->Query({}, read, error)) << error.toStdString();
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].Result, "timeout");
    const TJobRecord& old = read[1];
    EXPECT_EQ(old.Start, QDateTime(QDate(2025, 6, 1), QTime(8, 0), Qt::UTC));
    EXPECT_EQ(old.Station + old.Device + old.InputFile + old.FileChecksum + old.Reason,
              "st1/dev/ttyS0/fw/a.h861234Checksums match");
    EXPECT_EQ(old.Blocks, 4000);
    EXPECT_TRUE(old.UnitId.isEmpty() && old.Warnings.isEmpty() && old.Baud == 0);
    // An older row gets an identity of its own, and is not taken for one waiting to be forwarded.
    EXPECT_EQ(old.RecordId.size(), 32);
    EXPECT_FALSE(old.ForwardPending);
    EXPECT_TRUE(old.Recipe.isEmpty() && old.UploadSha256.isEmpty() && old.PortName.isEmpty());
    store.reset();
    EXPECT_EQ(RawSqlite(path).Value("SELECT version FROM schema_version").toInt(), HistorySchema::kCurrentVersion);
}

TEST(HistoryStore, ANewerSchemaIsRefusedAndLeftAlone) {
    TempDir dir;
    const std::string path = dir / "history.sqlite";
    {
        auto store = OpenOk(path);
        QString error;
        ASSERT_TRUE(store->Write(FullRecord("verified", 0), error));
    }
    const int newer = HistorySchema::kCurrentVersion + 1;
    RawSqlite(path).Exec(QString("UPDATE schema_version SET version = %1").arg(newer));
    EXPECT_TRUE(OpenError(path).contains(QString("schema version %1, newer than this program knows (%2)")
                                             .arg(newer)
                                             .arg(HistorySchema::kCurrentVersion)));
    RawSqlite after(path);
    EXPECT_EQ(after.Value("SELECT version FROM schema_version").toInt(), newer);
    EXPECT_EQ(after.Value("SELECT COUNT(*) FROM job_record").toInt(), 1);
}

// A server that is down (here: a socket folder no server listens in) leaves the record in the
// local file marked to be forwarded; a local file that cannot take it either leaves it in the
// journal beside it; only when that fails too is it lost. Each says where the record went.
TEST(RecordKeeper, EachRecordGoesAsFarAsItCan) {
    TempDir dir;
    fs::create_directory(dir / "nosocket");
    fs::create_directory(dir / "folder.sqlite");
    fs::create_directory(dir / "blocked.sqlite");
    fs::create_directory(dir / "blocked.sqlite.jsonl");
    THistoryLocation server, file;
    QString error;
    ASSERT_TRUE(ParseHistoryLocation(Q("postgresql://line@/mxr?host=" + (dir / "nosocket")), server, error));
    file.Path = Q(dir / "folder.sqlite");
    const struct {
        const THistoryLocation* location;
        const char* local;
        TRecordFate fate;
        const char* says;
    } rows[] = {
        {&server, "history.sqlite", TRecordFate::KeptLocally, "it was kept in '%1', to be forwarded"},
        {&server, "folder.sqlite", TRecordFate::Journaled, "it was kept in the journal '%1.jsonl'"},
        {&file, "folder.sqlite", TRecordFate::Journaled, "it was kept in the journal '%1.jsonl'"},
        {&server, "blocked.sqlite", TRecordFate::Lost, "the record was not kept: "},
    };
    for (const auto& row : rows) {
        const QString local = Q(dir / row.local);
        TRecordKeeper keeper(*row.location, local);
        QString message;
        EXPECT_EQ(keeper.Keep(FullRecord("verified", 0), message), row.fate) << row.local;
        EXPECT_TRUE(message.contains(QString(row.says).arg(local))) << message.toStdString();
    }
    std::vector<TJobRecord> read;
    ASSERT_TRUE(OpenOk(dir / "history.sqlite")->Query({}, read, error));
    ASSERT_EQ(read.size(), 1u);
    EXPECT_TRUE(read[0].ForwardPending);
    EXPECT_EQ(read[0].RecordId, "rec-0");
    EXPECT_EQ(TRecordKeeper(server, Q(dir / "folder.sqlite")).Waiting(), 2);
    // A file location is its own local file: the station's file is only the server's stand-in.
    file.Path = Q(dir / "named.sqlite");
    QString message;
    EXPECT_EQ(TRecordKeeper(file, Q(dir / "station.sqlite")).Keep(FullRecord("sent", 1), message), TRecordFate::Kept);
    EXPECT_TRUE(fs::exists(dir / "named.sqlite") && !fs::exists(dir / "station.sqlite"));
}

// Records the server never answered for: Keep returns at once, and Finish, once a stop signal
// says so (long before its limit), puts what is queued and what the writer holds into the local
// file, marked to be forwarded.
TEST(JobRecorder, AServerThatNeverAnswersHoldsNothingUp) {
    TempDir dir;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 16), 0);  // connections complete, and are never answered
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size), 0);
    THistoryLocation server;
    QString error;
    ASSERT_TRUE(ParseHistoryLocation(QString("postgresql://line@127.0.0.1:%1/mxr").arg(ntohs(at.sin_port)), server,
                                     error));
    std::vector<TRecordOutcome> told;
    TJobRecorder recorder(server, Q(dir / "history.sqlite"), TRecordContext{});
    QStringList ids;
    for (int i = 0; i < 3; ++i) {
        TJobResult result;
        result.Kind = TResultKind::Sent;
        ids << recorder.Keep(result, nullptr, [&](const TRecordOutcome& o) { told.push_back(o); });
    }
    const TRecorderTally tally = recorder.Finish(std::chrono::minutes(10), [] { return true; });
    ::close(listener);
    EXPECT_TRUE(tally.TimeRanOut);
    EXPECT_EQ(tally.KeptLocally, 3);
    EXPECT_EQ(tally.Waiting, 3);
    ASSERT_EQ(told.size(), 3u);
    for (const TRecordOutcome& o : told) EXPECT_EQ(o.Fate, TRecordFate::KeptLocally) << o.Message;
    std::vector<TJobRecord> read;
    ASSERT_TRUE(OpenOk(dir / "history.sqlite")->Query({}, read, error));
    ASSERT_EQ(read.size(), 3u);
    for (const TJobRecord& r : read) EXPECT_TRUE(r.ForwardPending && ids.contains(r.RecordId));
}

// A journal line that cannot be read is never dropped: it goes whole to the file beside the
// journal, is counted and named, and the records before and after it are forwarded. The record
// appended after a half-written line starts on a line of its own.
TEST(RecordKeeper, AJournalLineThatCannotBeReadIsSetAsideWhole) {
    const QByteArray newer = [] {
        QByteArray line = JsonLine(FullRecord("sent", 7)).toUtf8().trimmed();
        line.chop(1);  // the closing brace
        return line + QByteArray(",\"journal_version\":") + QByteArray::number(kJournalVersion + 1) + "}\n";
    }();
    const struct {
        const char* what;
        QByteArray bad;
        QByteArray setAside;
    } rows[] = {
        {"garbage", "not a record at all\n", "not a record at all\n"},
        {"half written", JsonLine(FullRecord("sent", 8)).toUtf8().left(90), JsonLine(FullRecord("sent", 8)).toUtf8().left(90) + "\n"},
        {"a newer format", newer, newer},
    };
    for (const auto& row : rows) {
        TempDir dir;
        THistoryLocation file;
        file.Path = Q(dir / "history.sqlite");
        const QString journal = RecordJournalPath(file.Path);
        QString error;
        ASSERT_TRUE(AppendToJournal(journal, FullRecord("sent", 1), error)) << error.toStdString();
        {
            QFile f(journal);
            ASSERT_TRUE(f.open(QIODevice::Append));
            f.write(row.bad);
        }
        ASSERT_TRUE(AppendToJournal(journal, FullRecord("sent", 2), error)) << error.toStdString();
        TRecordKeeper keeper(file, file.Path);
        EXPECT_EQ(keeper.Forward(error), 2) << row.what << ": " << error.toStdString();
        std::vector<TJobRecord> read;
        ASSERT_TRUE(OpenOk(dir / "history.sqlite")->Query({}, read, error));
        ASSERT_EQ(read.size(), 2u) << row.what;
        EXPECT_EQ(read[0].RecordId, "rec-2");
        EXPECT_EQ(read[1].RecordId, "rec-1");
        QFile aside(SetAsidePath(journal));
        ASSERT_TRUE(aside.open(QIODevice::ReadOnly)) << row.what;
        EXPECT_EQ(aside.readAll(), row.setAside) << row.what;
        EXPECT_EQ(fs::file_size(journal.toStdString()), 0u) << row.what;
        const TRecordBacklog backlog = keeper.Backlog();
        EXPECT_EQ(backlog.SetAside, 1) << row.what;
        EXPECT_EQ(backlog.JournalLines, 0) << row.what;
        EXPECT_TRUE(backlog.Text().contains("1 line of the journal that could not be read is kept in '" +
                                            SetAsidePath(journal) + "'"))
            << backlog.Text().toStdString();
    }
}

// The record keeps where the input file was, as chosen relative to the current folder or not.
TEST(RecordOf, TheInputFileIsAnAbsolutePath) {
    const std::string cwd = fs::current_path().string();
    const struct {
        const char* given;
        std::string kept;
    } rows[] = {{"fw.h86", cwd + "/fw.h86"}, {"./sub/fw.h86", cwd + "/sub/fw.h86"},
                {"/abs/fw.h86", "/abs/fw.h86"}, {"", ""}};
    for (const auto& row : rows) {
        TJobResult result;
        result.InputFile = row.given;
        result.RecordId = "from-the-job";
        const TJobRecord r = RecordOf(result, {});
        EXPECT_EQ(r.InputFile.toStdString(), row.kept);
        EXPECT_EQ(r.RecordId, "from-the-job");
    }
}

// The record names the port as the operator gave it (the slot), beside the device it led to and
// that device's by-path name.
TEST(RecordOf, ThePortIsNamedAsGivenBesideTheDeviceItLedTo) {
    struct TOnePort : TPortSource {
        std::vector<TPortInfo> List() override {
            TPortInfo p;
            p.Path = "/dev/ttyUSB1", p.ById = "/dev/serial/by-id/usb-A1-if00-port0";
            p.ByPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0";
            return {p};
        }
    } ports;
    const struct {
        int comPort;
        const char* portName;  // as the engine tells it
        const char* device;
        const char* kept;
        const char* byPath;
    } rows[] = {
        {3, "Com 3", "/dev/ttyUSB1", "COM 3", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0"},
        {0, "/srv/slot2", "/dev/ttyUSB1", "/srv/slot2", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0"},
        {0, "/dev/pts/9", "/dev/pts/9", "/dev/pts/9", ""},
    };
    for (const auto& row : rows) {
        TJobResult result;
        result.ComPort = row.comPort, result.PortName = row.portName, result.Device = row.device;
        const TJobRecord r = RecordOf(result, {}, &ports);
        EXPECT_EQ(r.PortName, row.kept);
        EXPECT_EQ(r.Device, row.device);
        EXPECT_EQ(r.DeviceByPath, row.byPath) << row.portName;
    }
}

// Another user's record file, or a -wal or -shm planted beside this user's, would let that user
// read and forge the record: refused, as is a link at the record's path. New files are made with
// the documented mode and never through a link.
TEST(HistoryStore, FilesOfAnotherUserAndLinksAreRefused) {
    TempDir dir;
    const std::string theirs = dir / "theirs.sqlite", planted = dir / "planted.sqlite";
    OpenOk(theirs);
    OpenOk(planted);
    ASSERT_EQ(::chown(theirs.c_str(), kNobody, kNobody), 0);
    WriteWholeFile(planted + "-wal", "");
    ASSERT_EQ(::chown((planted + "-wal").c_str(), kNobody, kNobody), 0);
    fs::create_symlink(dir / "elsewhere.sqlite", dir / "link.sqlite");
    fs::create_symlink(theirs, dir / "link-to-file.sqlite");
    const struct {
        const char* name;
        bool reading;
        const char* says;  // "" = opens
    } rows[] = {
        {"theirs.sqlite", false, "belongs to another user"},
        {"theirs.sqlite", true, ""},
        {"planted.sqlite", false, "planted.sqlite-wal' belongs to another user"},
        {"link.sqlite", false, "is a symbolic link"},
        {"link-to-file.sqlite", true, "is a symbolic link"},
    };
    for (const auto& row : rows) {
        TStoreOptions options;
        options.ReadOnly = row.reading;
        QString error;
        const bool opened = THistoryStore::Open(Q(dir / row.name), error, options) != nullptr;
        EXPECT_EQ(opened, *row.says == '\0') << row.name << ": " << error.toStdString();
        EXPECT_TRUE(error.contains(row.says)) << row.name << ": " << error.toStdString();
    }
    EXPECT_FALSE(fs::exists(dir / "elsewhere.sqlite"));
    OpenOk(dir / "new.sqlite");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "new.sqlite").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, kRecordFileMode & ~Umask());
}

TEST(HistoryLocation, FilesAndServers) {
    const struct {
        const char* text;
        const char* display;  // "" = refused
        const char* host;
        int port;
    } rows[] = {
        {"history.sqlite", "history.sqlite", "", 5432},
        {"/srv/records/line1.sqlite", "/srv/records/line1.sqlite", "", 5432},
        {"postgresql://line@db.example:5433/mxr", "postgresql://line@db.example:5433/mxr", "db.example", 5433},
        {"postgres://line:secret@db/mxr", "postgresql://line@db/mxr", "db", 5432},
        {"postgresql://line@/mxr?host=/run/postgresql", "postgresql://line@/mxr?host=/run/postgresql",
         "/run/postgresql", 5432},
        {"postgresql://line@%2Frun%2Fpostgresql:5433/mxr", "postgresql://line@:5433/mxr?host=/run/postgresql",
         "/run/postgresql", 5433},
        {"postgresql://line@db/mxr?sslmode=require", "postgresql://line@db/mxr", "db", 5432},
        {"postgresql://line@db/mxr?connect_timeout=3&application_name=st-2.a_b", "postgresql://line@db/mxr", "db",
         5432},
        // Values that would carry a keyword of their own into the connection.
        {"postgresql://line@db/mxr?sslmode=disable%20dbname=other", "", "", 0},
        {"postgresql://line@db/mxr?application_name=a%20dbname%3Dother", "", "", 0},
        {"postgresql://line@db/mxr?connect_timeout=3'%20options='-csearch_path", "", "", 0},
        {"postgresql://line@db/mxr?options=-csearch_path%3Devil", "", "", 0},
        {"postgresql://line@db/mxr?sslmode=verify", "", "", 0},
        {"postgres://t:0/m?sslmode=require", "", "", 0},  // found by fuzzing: no server listens on port 0
        {"mysql://line@db/mxr", "", "", 0},
        {"sqlite:///tmp/h.sqlite", "", "", 0},
        {"postgresql://line@db", "", "", 0},
        {"postgresql://line@db/mxr?user=x", "", "", 0},
        {"postgresql://line@db:99999/mxr", "", "", 0},
        {"", "", "", 0},
    };
    for (const auto& row : rows) {
        THistoryLocation l;
        QString error;
        const bool ok = ParseHistoryLocation(row.text, l, error);
        EXPECT_EQ(ok, *row.display != '\0') << row.text << ": " << error.toStdString();
        if (!ok) {
            EXPECT_FALSE(error.isEmpty() || error.contains('\n')) << row.text;
            continue;
        }
        EXPECT_EQ(l.Display(), row.display) << row.text;
        EXPECT_EQ(l.Host, row.host) << row.text;
        EXPECT_EQ(l.Port, row.port) << row.text;
    }
}
