// The production record's database: opened at a location, written one job at a time, read back by
// filter. Every failure comes back as one line of text, never as an exception, so a job can always
// end by saying whether its record was kept. A store is used from the thread that opened it; each
// has a connection of its own, so several stores (one per port) can live in one process.
#pragma once

#include <QString>
#include <QVariantList>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "history/HistoryFilter.h"
#include "history/HistoryLocation.h"
#include "history/JobRecord.h"

class QSqlError;
class QSqlQuery;

struct TStoreOptions {
    // The longest a writer waits for another (another station's process holding the file), and the
    // longest a PostgreSQL server may take to answer.
    int BusyTimeoutMs = 5000;
    // For reading back: nothing is created or upgraded, and a missing file is an error.
    bool ReadOnly = false;
    // A cap on a SQLite file's size in pages (0: none), so a station's disk never fills with records.
    int MaxPageCount = 0;
};

class THistoryBatch;
class THistorySummary;
struct TGroupRow;
enum class TGroupKey;

// The filter as an SQL condition with its values in order ("" for none).
QString HistoryWhere(const THistoryFilter& filter, QVariantList& values);

// A new record file's mode: its owner writes, the station's operators in its group may read it with
// `history`, other users nothing (less when the umask says so). A line shares its record through the
// PostgreSQL server, never by writing one user's file.
constexpr int kRecordFileMode = 0640;
// The system's reason for `error` as a record's failure says it: a full disk in plain words.
QString RecordSystemText(int error);
// Whether a PostgreSQL failure's SQLSTATE (`code`) says the server refuses this location for good
// (these credentials, this database, these tables), as opposed to being away or busy for now.
bool ServerRefusesForGood(const QString& code);

// The PostgreSQL notification every commit of records sends (history --follow listens).
constexpr const char* kRecordChannel = "zup_job_record";

class THistoryStore {
public:
    // Opens (creating or upgrading the tables unless ReadOnly) and returns the store, or nullptr
    // with `error` saying why: a folder or special file at the path, a file or folder that cannot
    // be written, a corrupt file, a newer schema than this program knows, a server that cannot be
    // reached, a lock held past the busy timeout.
    // `code`, when given, receives the failure's SQLSTATE ("" when the database gave none).
    static std::unique_ptr<THistoryStore> Open(const THistoryLocation& location, QString& error,
                                               const TStoreOptions& options = {}, QString* code = nullptr);
    static std::unique_ptr<THistoryStore> Open(const QString& location, QString& error,
                                               const TStoreOptions& options = {});
    ~THistoryStore();
    THistoryStore(const THistoryStore&) = delete;
    THistoryStore& operator=(const THistoryStore&) = delete;

    // Keeps one record in a transaction of its own. `id` (optional) receives the new row's id, 0 when
    // the store already held a record of the same identity (which is left as it was). A record
    // without an identity is given one.
    bool Write(const TJobRecord& record, QString& error, qint64* id = nullptr);

    // The records the filter selects, newest first, handed over one at a time.
    bool Query(const THistoryFilter& filter, const std::function<void(const TJobRecord&)>& each, QString& error);
    bool Query(const THistoryFilter& filter, std::vector<TJobRecord>& records, QString& error);

    // The filter's records grouped by `keys` (history --summary --by), worked out by the database,
    // in the order of the keys: from the sums kept beside the records where they answer the filter
    // exactly, else (or with `fromRows`) from the rows themselves.
    bool Summarize(const THistoryFilter& filter, const std::vector<TGroupKey>& keys, std::vector<TGroupRow>& rows,
                   QString& error, bool fromRows = false);
    // The plain summary (per local day and station) from the sums; `answered` false, and nothing
    // added, when the sums cannot answer the filter exactly and the rows must be read.
    bool SummarizeDays(const THistoryFilter& filter, THistorySummary& summary, bool& answered, QString& error);

    // Runs `work` (a summary's statements) with a server's statements allowed kSummaryLimitMs rather
    // than BusyTimeoutMs, and the connection's own limit back afterwards: summing a server's million
    // rows may take longer than a job's statement may. A SQLite file has no such limit.
    static constexpr int kSummaryLimitMs = 120000;
    bool WithSummaryLimit(const std::function<bool()>& work, QString& error);

    // Marks the local rows of these identities as forwarded to the line's server.
    bool MarkForwarded(const QStringList& recordIds, QString& error);
    // The name Qt's SQL registry knows this store's connection by (for a notification subscription).
    const QString& ConnectionName() const { return connection_; }

    // The SQLSTATE of the last failure (PostgreSQL's five characters, SQLite's result code), "" when
    // the database gave none (a connection that could not be made, a file refused before opening).
    const QString& ErrorCode() const { return code_; }

    int SchemaVersion() const { return version_; }
    const THistoryLocation& Location() const { return location_; }

private:
    friend class THistoryBatch;
    THistoryStore(const THistoryLocation& location, const TStoreOptions& options);
    bool Connect(QString& error);
    bool Exec(const QString& statement, const QString& what, QString& error);
    void UseLocalZone();
    bool ReadVersion(int& version, QString& error);
    bool Upgrade(QString& error);
    bool Begin(const QString& what, QString& error);
    QString Failure(const QString& what, const QSqlError& e) const;
    // Runs a grouping statement (its values bound in order) and hands each answer row to `take`
    // with its group's row, made the first time its keys (the first `keyCount` columns) are seen.
    bool Grouped(const QString& sql, const QVariantList& values, size_t keyCount,
                 std::map<QStringList, size_t>& at, std::vector<TGroupRow>& rows,
                 const std::function<void(TGroupRow&, const QSqlQuery&)>& take, QString& error);
    bool SummarizeSums(const THistoryFilter& filter, const std::vector<TGroupKey>& keys, bool days,
                       std::vector<TGroupRow>& rows, QString& error);
    // Whether the day sums the filter selects were filed under this process's zone (`zoned`: the
    // answer depends on the days); `fit` true without asking when it does not.
    bool DaysFit(const THistoryFilter& filter, bool zoned, bool& fit, QString& error);

    THistoryLocation location_;
    TStoreOptions options_;
    QString connection_;  // this store's own name in Qt's connection registry
    int version_ = 0;
    mutable QString code_;
};

// Several records in one transaction: all are kept, or none (a station's local records moved to
// the shared server; setting up a large database). Rolled back unless committed.
class THistoryBatch {
public:
    explicit THistoryBatch(THistoryStore& store);
    ~THistoryBatch();
    THistoryBatch(const THistoryBatch&) = delete;
    THistoryBatch& operator=(const THistoryBatch&) = delete;

    bool Begin(QString& error);
    bool Add(const TJobRecord& record, QString& error, qint64* id = nullptr);
    bool Commit(QString& error);

private:
    THistoryStore& store_;
    std::unique_ptr<QSqlQuery> insert_;
    bool open_ = false;
};
