#include "history/RecordKeeping.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/UniqueFd.h"
#include "history/HistoryFormat.h"

namespace {

// A journal holds what no database could take; a station's whole day fits in far less.
constexpr off_t kMaxJournalBytes = 64 * 1024 * 1024;

QString SystemText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// The journal is opened like every other record file: never through a link, never blocking on a
// FIFO, only a regular file of this user's, and held under flock while it is written or emptied.
TUniqueFd OpenJournal(const QString& path, int flags, QString& error) {
    TUniqueFd fd(::open(QFile::encodeName(path).constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                        kRecordFileMode));
    if (!fd.Valid()) {
        error = QString("journal '%1': %2").arg(path, errno == ELOOP ? QString("is a symbolic link") : SystemText(errno));
        return fd;
    }
    struct stat st {};
    QString wrong;
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) wrong = QString("journal '%1' is not a regular file").arg(path);
    else if (st.st_uid != ::geteuid()) wrong = QString("journal '%1' belongs to another user").arg(path);
    else if (st.st_size > kMaxJournalBytes) wrong = QString("journal '%1' is larger than any journal it made").arg(path);
    if (wrong.isEmpty()) return fd;
    error = wrong;
    fd.Reset();
    return fd;
}

bool ReadAll(int fd, QByteArray& bytes) {
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        bytes.append(buf, n);
    }
    return true;
}

}  // namespace

QString RecordJournalPath(const QString& localPath) { return localPath + ".jsonl"; }

bool AppendToJournal(const QString& journalPath, const TJobRecord& record, QString& error) {
    TUniqueFd fd = OpenJournal(journalPath, O_WRONLY | O_APPEND | O_CREAT, error);
    if (!fd.Valid()) return false;
    const QByteArray line = JsonLine(record).toUtf8();
    if (::flock(fd.Get(), LOCK_EX) != 0 ||
        ::write(fd.Get(), line.constData(), static_cast<size_t>(line.size())) != line.size() ||
        ::fdatasync(fd.Get()) != 0 || fd.Close() != 0) {
        error = QString("journal '%1' cannot be written: %2").arg(journalPath, SystemText(errno));
        return false;
    }
    return true;
}

TRecordKeeper::TRecordKeeper(const THistoryLocation& location, const QString& localPath, const TStoreOptions& options)
    : location_(location),
      localPath_(location.Kind == THistoryLocation::TKind::Sqlite ? location.Path : localPath),
      options_(options) {
    options_.ReadOnly = false;
}

TRecordKeeper::~TRecordKeeper() = default;

THistoryStore* TRecordKeeper::Primary(QString& error) {
    if (!ServerLocation()) return Local(error);
    if (!server_) server_ = THistoryStore::Open(location_, error, options_);
    return server_.get();
}

THistoryStore* TRecordKeeper::Local(QString& error) {
    struct stat st {};
    const bool same = ::lstat(QFile::encodeName(localPath_).constData(), &st) == 0 && st.st_dev == localDev_ &&
                      st.st_ino == localIno_;
    if (local_ && same) return local_.get();
    local_.reset();
    THistoryLocation local;
    local.Path = localPath_;
    local_ = THistoryStore::Open(local, error, options_);
    if (local_ && ::lstat(QFile::encodeName(localPath_).constData(), &st) == 0) {
        localDev_ = st.st_dev;
        localIno_ = st.st_ino;
    }
    return local_.get();
}

TRecordFate TRecordKeeper::Keep(TJobRecord record, QString& message, bool tryServer) {
    QString serverError, localError, journalError;
    if (ServerLocation() && tryServer) {
        THistoryStore* server = Primary(serverError);
        if (server && server->Write(record, serverError)) {
            QString ignored;
            Forward(ignored);
            return TRecordFate::Kept;
        }
        server_.reset();  // a connection that failed is made anew for the next record
    }
    if (ServerLocation()) {
        record.ForwardPending = true;
        if (serverError.isEmpty()) serverError = "it did not answer in time";
    }
    THistoryStore* local = Local(localError);
    if (local && local->Write(record, localError)) {
        if (!ServerLocation()) {
            QString ignored;
            Forward(ignored);
            return TRecordFate::Kept;
        }
        message = QString("the record server could not take the record (%1); it was kept in '%2', to be forwarded")
                      .arg(serverError, localPath_);
        return TRecordFate::KeptLocally;
    }
    local_.reset();
    const QString journal = RecordJournalPath(localPath_);
    record.ForwardPending = false;
    const QString why = ServerLocation() ? serverError + "; nor in '" + localPath_ + "': " + localError : localError;
    if (AppendToJournal(journal, record, journalError)) {
        message = QString("the record could not be kept (%1); it was kept in the journal '%2', to be forwarded")
                      .arg(why, journal);
        return TRecordFate::Journaled;
    }
    message = QString("the record was not kept: %1; nor in its journal: %2").arg(why, journalError);
    return TRecordFate::Lost;
}

int TRecordKeeper::Forward(QString& error) {
    THistoryStore* to = Primary(error);
    if (!to) return -1;
    const int rows = ServerLocation() && QFile::exists(localPath_) ? ForwardLocalRows(*to, error) : 0;
    if (rows < 0) return -1;
    const int lines = ForwardJournal(*to, error);
    if (lines < 0) return -1;
    return rows + lines;
}

int TRecordKeeper::ForwardLocalRows(THistoryStore& to, QString& error) {
    THistoryStore* local = Local(error);
    if (!local) return -1;
    THistoryFilter pending;
    pending.PendingOnly = true;
    std::vector<TJobRecord> rows;
    if (!local->Query(pending, rows, error)) return -1;
    if (rows.empty()) return 0;
    QStringList ids;
    THistoryBatch batch(to);
    if (!batch.Begin(error)) return -1;
    // Oldest first, as they were kept.
    for (auto r = rows.rbegin(); r != rows.rend(); ++r) {
        r->ForwardPending = false;
        if (!batch.Add(*r, error)) return -1;
        ids << r->RecordId;
    }
    // Committed on the server before marked here: a failure between the two forwards them again,
    // which the server ignores.
    if (!batch.Commit(error) || !local->MarkForwarded(ids, error)) return -1;
    return static_cast<int>(rows.size());
}

int TRecordKeeper::ForwardJournal(THistoryStore& to, QString& error) {
    const QString path = RecordJournalPath(localPath_);
    if (!QFile::exists(path)) return 0;
    TUniqueFd fd = OpenJournal(path, O_RDWR, error);
    if (!fd.Valid()) return -1;
    // Another process of the station forwarding it now: it is left to that one.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return 0;
    QByteArray bytes;
    if (!ReadAll(fd.Get(), bytes)) {
        error = QString("journal '%1' cannot be read: %2").arg(path, SystemText(errno));
        return -1;
    }
    int forwarded = 0;
    THistoryBatch batch(to);
    if (!batch.Begin(error)) return -1;
    for (const QByteArray& line : bytes.split('\n')) {
        TJobRecord r;
        if (line.trimmed().isEmpty() || !RecordFromJson(line, r)) continue;
        if (!batch.Add(r, error)) return -1;
        ++forwarded;
    }
    if (!batch.Commit(error)) return -1;
    if (::ftruncate(fd.Get(), 0) != 0) {
        error = QString("journal '%1' cannot be emptied: %2").arg(path, SystemText(errno));
        return -1;
    }
    return forwarded;
}

int TRecordKeeper::Waiting() {
    QString error;
    int waiting = 0;
    // A local file that cannot be opened holds nothing that could be forwarded from it.
    if (THistoryStore* local = ServerLocation() && QFile::exists(localPath_) ? Local(error) : nullptr) {
        THistoryFilter pending;
        pending.PendingOnly = true;
        if (!local->Query(pending, [&](const TJobRecord&) { ++waiting; }, error)) return -1;
    }
    QFile journal(RecordJournalPath(localPath_));
    if (journal.exists()) {
        TUniqueFd fd = OpenJournal(journal.fileName(), O_RDONLY, error);
        QByteArray bytes;
        if (!fd.Valid() || !ReadAll(fd.Get(), bytes)) return -1;
        waiting += static_cast<int>(bytes.count('\n'));
    }
    return waiting;
}
