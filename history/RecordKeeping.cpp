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

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace {

// A journal holds what no database could take; a station's whole day fits in far less.
constexpr off_t kMaxJournalBytes = 64 * 1024 * 1024;

QString SystemText(int error) { return RecordSystemText(error); }

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
    bytes.clear();
    if (::lseek(fd, 0, SEEK_SET) < 0) return false;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        bytes.append(buf, n);
    }
    return true;
}

bool WriteAll(int fd, const QByteArray& bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// The lines of a journal, the last one also when a crash left it without its line feed.
QList<QByteArray> Lines(const QByteArray& bytes) {
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeIf([](const QByteArray& l) { return l.trimmed().isEmpty(); });
    return lines;
}

// Whether the path still names the file `fd` has open: a journal emptied by forwarding is put in
// place of the old one, and a line written to the old one would be lost.
bool StillThere(int fd, const QString& path) {
    struct stat open {}, named {};
    return ::fstat(fd, &open) == 0 && ::lstat(QFile::encodeName(path).constData(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// Appends `lines` under the file's lock, starting on a line of its own whatever the file ends in.
bool AppendLines(const QString& path, const QString& what, const QByteArray& lines, QString& error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        TUniqueFd fd = OpenJournal(path, O_RDWR | O_APPEND | O_CREAT, error);
        if (!fd.Valid()) return false;
        if (::flock(fd.Get(), LOCK_EX) != 0) break;
        if (!StillThere(fd.Get(), path)) continue;
        struct stat st {};
        char last = '\n';
        if (::fstat(fd.Get(), &st) != 0 || (st.st_size > 0 && ::pread(fd.Get(), &last, 1, st.st_size - 1) != 1)) break;
        const QByteArray bytes = (last == '\n' ? QByteArray() : QByteArray("\n")) + lines;
        if (!WriteAll(fd.Get(), bytes) || ::fdatasync(fd.Get()) != 0 || fd.Close() != 0) break;
        return true;
    }
    error = QString("%1 '%2' cannot be written: %3").arg(what, path, SystemText(errno));
    return false;
}

QByteArray JournalLine(const TJobRecord& record) {
    QJsonObject o = QJsonDocument::fromJson(JsonLine(record).toUtf8()).object();
    o.insert("journal_version", kJournalVersion);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

// A line of a newer journal format is not guessed at: it waits, set aside, for the program that wrote it.
bool ReadJournalLine(const QByteArray& line, TJobRecord& record) {
    const QJsonObject o = QJsonDocument::fromJson(line).object();
    return o.value("journal_version").toInt(0) <= kJournalVersion && RecordFromJson(line, record);
}

int CountLines(const QString& path) {
    if (!QFile::exists(path)) return 0;
    QString error;
    TUniqueFd fd = OpenJournal(path, O_RDONLY, error);
    QByteArray bytes;
    if (!fd.Valid() || !ReadAll(fd.Get(), bytes)) return -1;
    return static_cast<int>(Lines(bytes).size());
}

QString LinesText(int n) { return n == 1 ? "1 line" : QString("%1 lines").arg(n); }

}  // namespace

QString RecordJournalPath(const QString& localPath) { return localPath + ".jsonl"; }
QString SetAsidePath(const QString& journalPath) { return journalPath + ".unreadable"; }

bool AppendToJournal(const QString& journalPath, const TJobRecord& record, QString& error) {
    return AppendLines(journalPath, "journal", JournalLine(record), error);
}

QString TRecordBacklog::Text() const {
    QString text;
    if (LocalRows > 0)
        text += QString("%1 of '%2' %3 to be forwarded\n")
                    .arg(LocalRows == 1 ? QString("1 record") : QString("%1 records").arg(LocalRows), LocalPath,
                         LocalRows == 1 ? "waits" : "wait");
    if (JournalLines > 0)
        text += QString("%1 of the journal '%2' %3 to be forwarded\n")
                    .arg(LinesText(JournalLines), JournalPath, JournalLines == 1 ? "waits" : "wait");
    if (SetAside > 0)
        text += QString("%1 of the journal that could not be read %2 kept in '%3'\n")
                    .arg(LinesText(SetAside), SetAside == 1 ? "is" : "are", SetAsidePath);
    return text;
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
    if (!server_) server_ = THistoryStore::Open(location_, error, options_, &serverCode_);
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

TRecordFate TRecordKeeper::Store(TJobRecord record, QString& message) {
    QString localError, journalError;
    record.ForwardPending = ServerLocation();
    THistoryStore* local = Local(localError);
    if (local && local->Write(record, localError)) {
        if (ServerLocation()) return TRecordFate::KeptLocally;
        // The file takes records again: what its journal held comes in with this one.
        QString ignored;
        Forward(ignored);
        return TRecordFate::Kept;
    }
    local_.reset();
    const QString journal = RecordJournalPath(localPath_);
    record.ForwardPending = false;
    if (AppendToJournal(journal, record, journalError)) {
        message = QString("the record could not be kept in '%1' (%2); it was kept in the journal '%3', to be forwarded")
                      .arg(localPath_, localError, journal);
        return TRecordFate::Journaled;
    }
    message = QString("the record was not kept: '%1': %2; nor in its journal: %3").arg(localPath_, localError, journalError);
    // The journal's failure is the last word: the system's reason ends it.
    lostCause_ = journalError.section(QStringLiteral(": "), -1);
    if (!lostCause_.isEmpty()) lostCause_[0] = lostCause_[0].toLower();
    return TRecordFate::Lost;
}

TRecordFate TRecordKeeper::Keep(TJobRecord record, QString& message, bool tryServer) {
    const TRecordFate fate = Store(record, message);
    if (fate == TRecordFate::Lost || !ServerLocation() || !tryServer) return fate;
    QString serverError;
    if (Forward(serverError) >= 0) {
        message.clear();
        return TRecordFate::Kept;
    }
    if (fate == TRecordFate::KeptLocally)
        message = QString("the record server could not take the record (%1); it was kept in '%2', to be forwarded")
                      .arg(serverError, localPath_);
    return fate;
}

int TRecordKeeper::Forward(QString& error) {
    THistoryStore* to = Primary(error);
    if (!to) return -1;
    const int rows = ServerLocation() && QFile::exists(localPath_) ? ForwardLocalRows(*to, error) : 0;
    const int lines = rows < 0 ? -1 : ForwardJournal(*to, error);
    if (rows >= 0 && lines >= 0) return rows + lines;
    // A connection that failed is made anew for the next try.
    if (ServerLocation()) {
        serverCode_ = server_ ? server_->ErrorCode() : serverCode_;
        server_.reset();
    }
    return -1;
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

// The journal is read under its lock, forwarded without it (a server that takes its time never
// holds up a record being appended), and then, under the lock again, what was forwarded leaves it
// and what could not be read goes whole to the file beside it. Lines appended meanwhile stay.
int TRecordKeeper::ForwardJournal(THistoryStore& to, QString& error) {
    const QString path = RecordJournalPath(localPath_);
    if (!QFile::exists(path)) return 0;
    TUniqueFd fd = OpenJournal(path, O_RDWR, error);
    if (!fd.Valid()) return -1;
    QByteArray bytes;
    if (::flock(fd.Get(), LOCK_EX) != 0 || !ReadAll(fd.Get(), bytes) || ::flock(fd.Get(), LOCK_UN) != 0) {
        error = QString("journal '%1' cannot be read: %2").arg(path, SystemText(errno));
        return -1;
    }
    QSet<QByteArray> forwarded, unreadable;
    THistoryBatch batch(to);
    if (!batch.Begin(error)) return -1;
    for (const QByteArray& line : Lines(bytes)) {
        TJobRecord r;
        if (!ReadJournalLine(line, r)) {
            unreadable.insert(line);
            continue;
        }
        if (!batch.Add(r, error)) return -1;
        forwarded.insert(line);
    }
    if (!batch.Commit(error)) return -1;
    return forwarded.isEmpty() && unreadable.isEmpty() ? 0 : EmptyJournal(fd.Get(), forwarded, unreadable, error);
}

// Under the journal's lock: what another process forwarded meanwhile is gone already, what was
// appended meanwhile stays, in its order. The journal is emptied in place when nothing stays, else
// replaced whole, so that a crash half way never loses a line.
int TRecordKeeper::EmptyJournal(int fd, const QSet<QByteArray>& forwarded, const QSet<QByteArray>& unreadable,
                                QString& error) {
    const QString path = RecordJournalPath(localPath_);
    QByteArray now;
    if (::flock(fd, LOCK_EX) != 0 || !StillThere(fd, path) || !ReadAll(fd, now)) {
        error = QString("journal '%1' cannot be read: %2").arg(path, SystemText(errno));
        return -1;
    }
    QByteArray stays, aside;
    for (const QByteArray& line : Lines(now)) {
        if (unreadable.contains(line)) aside += line + '\n';
        else if (!forwarded.contains(line)) stays += line + '\n';
    }
    if (!aside.isEmpty() && !AppendLines(SetAsidePath(path), "the journal's unreadable lines", aside, error)) return -1;
    bool emptied = false;
    if (stays.isEmpty()) {
        emptied = ::ftruncate(fd, 0) == 0 && ::fdatasync(fd) == 0;
    } else {
        const QString next = path + ".next";
        ::unlink(QFile::encodeName(next).constData());
        TUniqueFd out = OpenJournal(next, O_WRONLY | O_CREAT | O_EXCL, error);
        emptied = out.Valid() && WriteAll(out.Get(), stays) && ::fdatasync(out.Get()) == 0 && out.Close() == 0 &&
                  ::rename(QFile::encodeName(next).constData(), QFile::encodeName(path).constData()) == 0;
    }
    if (!emptied) {
        error = QString("journal '%1' cannot be emptied: %2").arg(path, SystemText(errno));
        return -1;
    }
    return static_cast<int>(forwarded.size());
}

int TRecordKeeper::Waiting() { return Backlog().Waiting(); }

TRecordBacklog TRecordKeeper::Backlog() {
    TRecordBacklog b;
    b.LocalPath = localPath_;
    b.JournalPath = RecordJournalPath(localPath_);
    b.SetAsidePath = SetAsidePath(b.JournalPath);
    QString error;
    // A local file that cannot be opened holds nothing that could be forwarded from it.
    if (THistoryStore* local = ServerLocation() && QFile::exists(localPath_) ? Local(error) : nullptr) {
        THistoryFilter pending;
        pending.PendingOnly = true;
        if (!local->Query(pending, [&](const TJobRecord&) { ++b.LocalRows; }, error)) b.LocalRows = -1;
    }
    b.JournalLines = CountLines(b.JournalPath);
    b.SetAside = CountLines(b.SetAsidePath);
    return b;
}
