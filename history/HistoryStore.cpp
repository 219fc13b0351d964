#include "history/HistoryStore.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimeZone>
#include <QUuid>
#include <QVariant>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "history/HistorySchema.h"

using HistorySchema::TDialect;

namespace {

// Serialises schema upgrades between stations sharing one server ("zup" in ASCII).
constexpr qint64 kUpgradeLockKey = 0x7A7570;

QString SqlText(const QSqlError& e) {
    const QString text = e.databaseText().isEmpty() ? e.driverText() : e.databaseText();
    return text.simplified();
}

QString SystemText(int error) { return RecordSystemText(error); }

// SQLite says SQLITE_FULL for a file at its size cap and for a device with no room alike.
bool DeviceFull(const QString& path) {
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &fs) != 0) return false;
    const unsigned long long free = (::geteuid() == 0 ? fs.f_bfree : fs.f_bavail) * fs.f_frsize;
    return free < 64 * 1024;
}

// A record file, or the -wal and -shm SQLite keeps beside it, that another user made would let that
// user read and forge this user's records: each is used only when it is a regular file (never a
// link, a FIFO or a device: nothing here may block or write elsewhere) that belongs to this user,
// and root uses only root's.
bool CheckCompanion(const QString& path, bool mustExist, bool& exists, QString& error) {
    const QByteArray name = QFile::encodeName(path);
    const QString where = QString("record database '%1'").arg(path);
    struct stat st {};
    exists = ::lstat(name.constData(), &st) == 0;
    if (!exists) {
        if (errno == ENOENT && !mustExist) return true;
        error = errno == ENOENT ? where + " does not exist (no job has been recorded there)"
                                : where + ": " + SystemText(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) error = where + " is a symbolic link; give the file itself";
    else if (S_ISDIR(st.st_mode)) error = where + " is a folder";
    else if (!S_ISREG(st.st_mode)) error = where + " is not a regular file";
    else if (st.st_uid != ::geteuid()) error = where + " belongs to another user; it is used only by its owner";
    return error.isEmpty();
}

// New record files are made here, never through a link or over a file someone else put there.
bool CreateRecordFile(const QString& path, QString& error) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kRecordFileMode);
    if (fd < 0) {
        error = QString("record database '%1' cannot be made: %2").arg(path, SystemText(errno));
        return false;
    }
    ::close(fd);
    return true;
}

// What stands at a SQLite path must be a file SQLite can use without blocking and, for writing, one
// this user may change beside a folder that takes the journal files. A reader may read another
// user's file (a station's operators in its group), but never through a link.
bool CheckSqlitePath(const QString& path, bool readOnly, bool& own, QString& error) {
    bool exists = false;
    if (!CheckCompanion(path, readOnly, exists, error)) {
        own = false;
        if (!readOnly || !error.endsWith("its owner")) return false;
        error.clear();
        return true;
    }
    own = true;
    for (const char* suffix : {"-wal", "-shm"}) {
        bool companion = false;
        if (!CheckCompanion(path + suffix, false, companion, error)) return false;
    }
    if (readOnly) return true;
    const QByteArray name = QFile::encodeName(path);
    if (exists && ::access(name.constData(), W_OK) != 0) {
        error = QString("record database '%1' cannot be written: %2").arg(path, SystemText(errno));
        return false;
    }
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::access(folder.constData(), W_OK) != 0) {
        error = QString("the folder of record database '%1' cannot be written: %2").arg(path, SystemText(errno));
        return false;
    }
    return exists || CreateRecordFile(path, error);
}

// PostgreSQL text cannot hold U+0000, and a unit's reply can; a record is never refused for it.
QVariant Text(const QString& s) {
    QString t = s.isNull() ? QString("") : s;
    t.replace(QChar(0), QChar(0xFFFD));
    return t;
}

QString WarningsText(const QStringList& warnings) {
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(warnings)).toJson(QJsonDocument::Compact));
}

QStringList WarningsFrom(const QString& text) {
    QStringList warnings;
    if (text.isEmpty() || text == QLatin1String("[]")) return warnings;
    for (const QJsonValue& v : QJsonDocument::fromJson(text.toUtf8()).array()) warnings << v.toString();
    return warnings;
}

void BindRecord(QSqlQuery& q, const TJobRecord& r) {
    const QVariantList values = {
        Text(r.Start.toUTC().toString(Qt::ISODateWithMs)), r.DurationMs, Text(r.Station), Text(r.User),
        Text(r.ProgramVersion), Text(r.Job), Text(r.Device), Text(r.DeviceById), Text(r.AdapterSerial),
        r.ComPort, r.Baud, Text(r.InputFile), r.InputSize, Text(r.InputSha256.toLower()), r.Blocks,
        Text(r.FileChecksum), Text(r.UnitChecksum), Text(r.UnitVersion), Text(r.UnitId), Text(r.Result),
        Text(r.Reason), Text(WarningsText(r.Warnings)), r.BlocksSent, Text(r.CapturePath), Text(r.RunId),
        Text(r.RecordId.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : r.RecordId),
        qint64(r.ForwardPending ? 1 : 0), Text(r.Recipe), Text(r.RecipeSha256), Text(r.UploadSha256.toLower()),
        Text(r.PortName), Text(r.DeviceByPath), r.WireRatio, r.ReplyMedianMs, r.PortUnit, Text(r.RecipeKeyId),
        // first_pass: the unit id, twice, for the database to look up (see InsertStatement).
        Text(r.UnitId), Text(r.UnitId)};
    for (qsizetype i = 0; i < values.size(); ++i) q.bindValue(static_cast<int>(i), values[i]);
}

TJobRecord RecordFrom(const QSqlQuery& q) {
    int i = 0;
    auto text = [&] { return q.value(i++).toString(); };
    auto number = [&] { return q.value(i++).toLongLong(); };
    TJobRecord r;
    r.Id = number();
    r.Start = QDateTime::fromString(text(), Qt::ISODateWithMs);
    r.DurationMs = number();
    r.Station = text(), r.User = text(), r.ProgramVersion = text(), r.Job = text();
    r.Device = text(), r.DeviceById = text(), r.AdapterSerial = text();
    r.ComPort = static_cast<int>(number()), r.Baud = static_cast<int>(number());
    r.InputFile = text(), r.InputSize = number(), r.InputSha256 = text(), r.Blocks = static_cast<int>(number());
    r.FileChecksum = text(), r.UnitChecksum = text(), r.UnitVersion = text(), r.UnitId = text();
    r.Result = text(), r.Reason = text(), r.Warnings = WarningsFrom(text());
    r.BlocksSent = static_cast<int>(number());
    r.CapturePath = text(), r.RunId = text(), r.RecordId = text();
    r.ForwardPending = number() != 0;
    r.Recipe = text(), r.RecipeSha256 = text();
    r.UploadSha256 = text();
    r.PortName = text(), r.DeviceByPath = text();
    r.WireRatio = q.value(i++).toDouble(), r.ReplyMedianMs = q.value(i++).toDouble();
    r.PortUnit = static_cast<int>(number());
    r.RecipeKeyId = text();
    r.FirstPass = number() != 0;
    return r;
}

QString ColumnList() {
    QStringList names;
    for (const char* c : HistorySchema::kColumns) names << c;
    return names.join(", ");
}

QString InsertStatement() {
    QStringList marks;
    for (size_t i = 0; i + 1 < HistorySchema::kColumns.size(); ++i) marks << "?";
    // Each database judges a retry by the rows it holds: the line's server by every station's.
    marks << QString("CASE WHEN ? = '' OR NOT EXISTS (SELECT 1 FROM job_record p WHERE p.unit_id = ? AND p.result "
                     "IN %1) THEN 1 ELSE 0 END")
                 .arg(HistorySchema::kRetriedAfter);
    // A record forwarded twice (two stations' processes, a --sync beside a job) is kept once.
    return QString("INSERT INTO job_record (%1) VALUES (%2) ON CONFLICT (record_id) DO NOTHING")
        .arg(ColumnList(), marks.join(", "));
}

QString SelectStatement(const THistoryFilter& f, QVariantList& values) {
    const QString where = HistoryWhere(f, values);
    QString sql = QString("SELECT id, %1 FROM job_record").arg(ColumnList());
    if (!where.isEmpty()) sql += " WHERE " + where;
    sql += " ORDER BY start_utc DESC, id DESC";
    if (f.Limit > 0) sql += " LIMIT " + QString::number(f.Limit);
    return sql;
}

TDialect DialectOf(const THistoryLocation& l) {
    return l.Kind == THistoryLocation::TKind::Sqlite ? TDialect::Sqlite : TDialect::Postgres;
}

}  // namespace

// Times are kept as fixed-width UTC text, so comparing the text compares the moments.
QString HistoryWhere(const THistoryFilter& f, QVariantList& values) {
    QStringList where;
    auto add = [&](const QString& condition, const QVariant& value) {
        where << condition;
        values << value;
    };
    if (f.Since.isValid()) add("start_utc >= ?", f.Since.toUTC().toString(Qt::ISODateWithMs));
    if (f.Before.isValid()) add("start_utc < ?", f.Before.toUTC().toString(Qt::ISODateWithMs));
    if (!f.UnitId.isEmpty()) add("unit_id = ?", f.UnitId);
    if (!f.InputSha256.isEmpty()) add("input_sha256 = ?", f.InputSha256.toLower());
    if (!f.Result.isEmpty()) add("result = ?", f.Result);
    if (!f.Recipe.isEmpty()) add("recipe = ?", f.Recipe);
    if (!f.SignedBy.isEmpty()) add("recipe_key_id = ?", f.SignedBy.toLower());
    if (f.AfterId > 0) add("id > ?", f.AfterId);
    if (f.PendingOnly) where << "forward_pending <> 0";
    return where.join(" AND ");
}

THistoryStore::THistoryStore(const THistoryLocation& location, const TStoreOptions& options)
    : location_(location),
      options_(options),
      connection_("zup_history_" + QUuid::createUuid().toString(QUuid::WithoutBraces)) {}

THistoryStore::~THistoryStore() {
    if (QSqlDatabase::contains(connection_)) {
        QSqlDatabase::database(connection_, false).close();
        QSqlDatabase::removeDatabase(connection_);
    }
}

QString THistoryStore::Failure(const QString& what, const QSqlError& e) const {
    code_ = e.nativeErrorCode();
    const bool sqlite = location_.Kind == THistoryLocation::TKind::Sqlite;
    const QString text = sqlite && code_ == QLatin1String("13") && DeviceFull(location_.Path)
                             ? RecordSystemText(ENOSPC)
                             : SqlText(e);
    return QString("record database '%1': %2: %3").arg(location_.Display(), what, text);
}

QString RecordSystemText(int error) {
    if (error == ENOSPC) return "no space left on the device";
    return QString::fromLocal8Bit(std::strerror(error));
}

bool ServerRefusesForGood(const QString& code) {
    // 28: these credentials; 3D: this database; 42: these tables or this user's rights on them.
    // Everything else (08 the connection, 53 the server's resources, 57 a server stopping or
    // starting, 40 a transaction to try again, 55 a lock) passes.
    for (const char* cls : {"28", "3D", "42"})
        if (code.startsWith(QLatin1String(cls))) return true;
    return false;
}

bool THistoryStore::WithSummaryLimit(const std::function<bool()>& work, QString& error) {
    if (location_.Kind == THistoryLocation::TKind::Sqlite) return work();
    if (!Exec(QString("SET statement_timeout = %1").arg(kSummaryLimitMs), "cannot set a time limit", error))
        return false;
    const bool ok = work();
    QString reset;
    if (!Exec(QString("SET statement_timeout = %1").arg(options_.BusyTimeoutMs), "cannot set a time limit", reset) &&
        ok)
        error = reset;
    return ok && reset.isEmpty();
}

bool THistoryStore::Exec(const QString& statement, const QString& what, QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (q.exec(statement)) return true;
    error = Failure(what, q.lastError());
    return false;
}

bool THistoryStore::Connect(QString& error) {
    const bool sqlite = location_.Kind == THistoryLocation::TKind::Sqlite;
    const char* driver = sqlite ? "QSQLITE" : "QPSQL";
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        error = QString("the Qt %1 driver is not installed (Debian: %2)")
                    .arg(sqlite ? "SQLite" : "PostgreSQL", sqlite ? "libqt6sql6-sqlite" : "libqt6sql6-psql");
        return false;
    }
    bool own = true;
    if (sqlite && !CheckSqlitePath(location_.Path, options_.ReadOnly, own, error)) return false;
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, connection_);
    QStringList connectOptions;
    if (sqlite) {
        db.setDatabaseName(location_.Path);
        connectOptions << QString("QSQLITE_BUSY_TIMEOUT=%1").arg(options_.BusyTimeoutMs);
        // A read-only connection cannot fold the write-ahead log back when it closes, so it would
        // leave -wal and -shm behind: a reader of its own file connects as a writer that never writes
        // (nothing is created, upgraded or switched), and is then the last to close.
        if (options_.ReadOnly && !own) connectOptions << "QSQLITE_OPEN_READONLY";
    } else {
        db.setHostName(location_.Host);
        db.setPort(location_.Port);
        db.setDatabaseName(location_.Database);
        db.setUserName(location_.User);
        db.setPassword(location_.Password);
        // libpq counts whole seconds and takes nothing under 2.
        const int seconds = std::max(2, (options_.BusyTimeoutMs + 999) / 1000);
        connectOptions << QString("connect_timeout=%1").arg(seconds);
        // Every wait on the server is bounded, so the thread that waits can always be joined: the
        // connection by connect_timeout, a statement by statement_timeout (below), and a network
        // that drops everything by TCP's own timeouts (libpq ignores them on a local socket).
        connectOptions << QString("keepalives_idle=%1").arg(seconds) << "keepalives_interval=1"
                       << "keepalives_count=2" << QString("tcp_user_timeout=%1").arg(seconds * 1000);
        if (!location_.Options.isEmpty()) connectOptions << location_.Options;
    }
    db.setConnectOptions(connectOptions.join(';'));
    if (!db.open()) {
        error = Failure("cannot open", db.lastError());
        return false;
    }
    if (!sqlite) {
        const QString ms = QString::number(options_.BusyTimeoutMs);
        UseLocalZone();
        return Exec("SET statement_timeout = " + ms, "cannot set a time limit", error) &&
               Exec("SET lock_timeout = " + ms, "cannot set a time limit", error);
    }
    if (options_.MaxPageCount > 0 &&
        !Exec(QString("PRAGMA max_page_count = %1").arg(options_.MaxPageCount), "cannot cap its size", error))
        return false;
    if (options_.ReadOnly) return true;
    // A commit is on the disk when it returns, power cut or not: a unit's end waits for its record.
    if (!Exec("PRAGMA synchronous = FULL", "cannot be made durable", error)) return false;
    // Write-ahead logging lets one station's processes (one per port) write while others read;
    // it stays set in the file, so it is only asked for once.
    QSqlQuery mode(db);
    if (!mode.exec("PRAGMA journal_mode") || !mode.next()) {
        error = Failure("cannot be read", mode.lastError());
        return false;
    }
    if (mode.value(0).toString().compare("wal", Qt::CaseInsensitive) == 0) return true;
    mode.finish();
    return Exec("PRAGMA journal_mode = WAL", "cannot switch to write-ahead logging", error);
}

// The day sums file a record under the local day of the session's zone: the station's own, as its
// file's would be. A zone the server does not know leaves the server's, and readers here then find
// those days filed under another zone and read the hourly sums instead.
void THistoryStore::UseLocalZone() {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (q.prepare("SELECT set_config('TimeZone', ?, false)")) {
        q.addBindValue(QString::fromUtf8(QTimeZone::systemTimeZoneId()));
        q.exec();
    }
}

bool THistoryStore::ReadVersion(int& version, QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    const bool sqlite = location_.Kind == THistoryLocation::TKind::Sqlite;
    if (!q.exec(sqlite ? "SELECT name FROM sqlite_master WHERE type = 'table'"
                       : "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema()")) {
        error = Failure("cannot be read", q.lastError());
        return false;
    }
    QStringList tables;
    while (q.next()) tables << q.value(0).toString();
    if (!tables.contains(HistorySchema::kVersionTable)) {
        // A server's database may hold other programs' tables; a file of our own must not.
        if (tables.contains(HistorySchema::kTable) || (sqlite && !tables.isEmpty())) {
            error = QString("record database '%1' is not a production record (it holds the tables %2)")
                        .arg(location_.Display(), tables.join(", "));
            return false;
        }
        version = 0;
        return true;
    }
    if (!q.exec("SELECT MAX(version) FROM schema_version") || !q.next() || q.value(0).isNull()) {
        error = Failure("has no schema version", q.lastError());
        return false;
    }
    version = q.value(0).toInt();
    if (version > HistorySchema::kCurrentVersion) {
        error = QString("record database '%1' has schema version %2, newer than this program knows (%3): "
                        "use a newer zupflshc")
                    .arg(location_.Display())
                    .arg(version)
                    .arg(HistorySchema::kCurrentVersion);
        return false;
    }
    return true;
}

bool THistoryStore::Begin(const QString& what, QString& error) {
    if (location_.Kind == THistoryLocation::TKind::Sqlite) return Exec("BEGIN IMMEDIATE", what, error);
    return Exec("BEGIN", what, error);
}

// Another station may be upgrading the same database at this moment: the version is read again
// once this one holds the write lock, and the steps run from there.
bool THistoryStore::Upgrade(QString& error) {
    if (!ReadVersion(version_, error)) return false;
    if (version_ == HistorySchema::kCurrentVersion) return true;
    if (options_.ReadOnly) {
        error = QString("record database '%1' has schema version %2; any job that records into it upgrades it")
                    .arg(location_.Display())
                    .arg(version_);
        return false;
    }
    if (!Begin("cannot be upgraded", error)) return false;
    bool ok = location_.Kind == THistoryLocation::TKind::Sqlite ||
              Exec(QString("SELECT pg_advisory_xact_lock(%1)").arg(kUpgradeLockKey), "cannot be upgraded", error);
    ok = ok && ReadVersion(version_, error);
    for (; ok && version_ < HistorySchema::kCurrentVersion; ++version_)
        for (const QString& statement : HistorySchema::StepFrom(version_, DialectOf(location_)))
            if (ok) ok = Exec(statement, QString("cannot be upgraded from version %1").arg(version_), error);
    if (ok && Exec("COMMIT", "cannot be upgraded", error)) return true;
    QString ignored;
    Exec("ROLLBACK", "", ignored);
    return false;
}

std::unique_ptr<THistoryStore> THistoryStore::Open(const THistoryLocation& location, QString& error,
                                                   const TStoreOptions& options, QString* code) {
    std::unique_ptr<THistoryStore> store(new THistoryStore(location, options));
    if (store->Connect(error) && store->Upgrade(error)) return store;
    if (code) *code = store->code_;
    return nullptr;
}

std::unique_ptr<THistoryStore> THistoryStore::Open(const QString& location, QString& error,
                                                   const TStoreOptions& options) {
    THistoryLocation parsed;
    if (!ParseHistoryLocation(location, parsed, error)) return nullptr;
    return Open(parsed, error, options);
}

bool THistoryStore::Write(const TJobRecord& record, QString& error, qint64* id) {
    THistoryBatch batch(*this);
    return batch.Begin(error) && batch.Add(record, error, id) && batch.Commit(error);
}

bool THistoryStore::Query(const THistoryFilter& filter, const std::function<void(const TJobRecord&)>& each,
                          QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    QVariantList values;
    const QString sql = SelectStatement(filter, values);
    if (!q.prepare(sql)) {
        error = Failure("cannot be read", q.lastError());
        return false;
    }
    for (qsizetype i = 0; i < values.size(); ++i) q.bindValue(static_cast<int>(i), values[i]);
    if (!q.exec()) {
        error = Failure("cannot be read", q.lastError());
        return false;
    }
    while (q.next()) each(RecordFrom(q));
    if (q.lastError().isValid()) {
        error = Failure("cannot be read to the end", q.lastError());
        return false;
    }
    return true;
}

bool THistoryStore::Query(const THistoryFilter& filter, std::vector<TJobRecord>& records, QString& error) {
    return Query(filter, [&](const TJobRecord& r) { records.push_back(r); }, error);
}

THistoryBatch::THistoryBatch(THistoryStore& store) : store_(store) {}

THistoryBatch::~THistoryBatch() {
    insert_.reset();
    QString ignored;
    if (open_) store_.Exec("ROLLBACK", "", ignored);
}

bool THistoryBatch::Begin(QString& error) {
    if (!store_.Begin("cannot take the record", error)) return false;
    open_ = true;
    insert_ = std::make_unique<QSqlQuery>(QSqlDatabase::database(store_.connection_, false));
    if (insert_->prepare(InsertStatement())) return true;
    error = store_.Failure("cannot take the record", insert_->lastError());
    return false;
}

bool THistoryBatch::Add(const TJobRecord& record, QString& error, qint64* id) {
    if (!open_) {
        error = QString("record database '%1': no transaction begun").arg(store_.location_.Display());
        return false;
    }
    BindRecord(*insert_, record);
    if (!insert_->exec()) {
        error = store_.Failure("cannot take the record", insert_->lastError());
        return false;
    }
    if (id) *id = insert_->numRowsAffected() == 0 ? 0 : insert_->lastInsertId().toLongLong();
    return true;
}

bool THistoryBatch::Commit(QString& error) {
    if (!open_) {
        error = QString("record database '%1': no transaction begun").arg(store_.location_.Display());
        return false;
    }
    insert_.reset();
    // Whoever follows the line's record (history --follow) hears of it when the rows are there.
    if (store_.location_.Kind == THistoryLocation::TKind::Postgres &&
        !store_.Exec(QString("NOTIFY %1").arg(kRecordChannel), "cannot keep the record", error))
        return false;
    if (!store_.Exec("COMMIT", "cannot keep the record", error)) return false;
    open_ = false;
    return true;
}

bool THistoryStore::MarkForwarded(const QStringList& recordIds, QString& error) {
    if (recordIds.isEmpty()) return true;
    if (!Begin("cannot mark records as forwarded", error)) return false;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    bool ok = q.prepare("UPDATE job_record SET forward_pending = 0 WHERE record_id = ?");
    for (const QString& id : recordIds) {
        if (!ok) break;
        q.bindValue(0, id);
        ok = q.exec();
    }
    if (!ok) error = Failure("cannot mark records as forwarded", q.lastError());
    q.finish();
    if (ok && Exec("COMMIT", "cannot mark records as forwarded", error)) return true;
    QString ignored;
    Exec("ROLLBACK", "", ignored);
    return false;
}
