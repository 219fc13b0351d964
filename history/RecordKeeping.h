// Where a record ends up when the place it was meant for cannot take it, and how it gets there
// later: the line's server, else the station's own SQLite file (marked to be forwarded), else a
// journal beside that file (one JSON line per record), and forwarding from the last two to the
// first as soon as it answers. Used from one thread; its connections are kept between records.
#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <memory>
#include <sys/types.h>

#include "history/HistoryLocation.h"
#include "history/HistoryStore.h"
#include "history/JobRecord.h"

// What became of one record.
enum class TRecordFate {
    Kept,         // where it was meant to go
    KeptLocally,  // in the station's file, to be forwarded to the server
    Journaled,    // in the journal beside the station's file, to be forwarded
    Lost,         // nothing could take it
};

// The journal beside a station's record file, one JSON line a record, each carrying the journal's
// format version; and the file beside the journal that keeps, whole, every line of it that could not
// be read (half written, garbage, a newer format), so that nothing the journal held is ever dropped.
QString RecordJournalPath(const QString& localPath);
QString SetAsidePath(const QString& journalPath);
constexpr int kJournalVersion = 1;
// Appends `record` as one line, on a line of its own even after a line a crash left half written;
// false with `error` when the journal cannot be written. Only a regular file of this user's is
// appended to, never through a link; a new one gets kRecordFileMode.
bool AppendToJournal(const QString& journalPath, const TJobRecord& record, QString& error);

// What waits beside a station's file: its rows not yet on the server, the journal's lines, and the
// journal's lines set aside as unreadable (-1 each where it cannot be read).
struct TRecordBacklog {
    int LocalRows = 0, JournalLines = 0, SetAside = 0;
    QString LocalPath, JournalPath, SetAsidePath;
    int Waiting() const { return LocalRows < 0 || JournalLines < 0 ? -1 : LocalRows + JournalLines; }
    // What waits and what was set aside, and where, a sentence a line ("" for nothing): "2 records
    // of '...' wait to be forwarded", "1 line of the journal '...' waits to be forwarded", "1 line
    // of the journal that could not be read is kept in '...'".
    QString Text() const;
};

class TRecordKeeper {
public:
    // `location`: where records are meant to go; `localPath`: the station's own SQLite file that
    // takes them when a server cannot (a SQLite location is its own local file).
    TRecordKeeper(const THistoryLocation& location, const QString& localPath, const TStoreOptions& options = {});
    ~TRecordKeeper();
    TRecordKeeper(const TRecordKeeper&) = delete;
    TRecordKeeper& operator=(const TRecordKeeper&) = delete;

    // Keeps `record` as well as it can; `message` is "" for Kept, else the line for the operator.
    // `tryServer` false goes straight to the local file (the server has just failed, or time is up).
    // A record that reaches the server brings what waits locally with it.
    TRecordFate Keep(TJobRecord record, QString& message, bool tryServer = true);
    // Keeps `record` on the station's own disk only, durably: a server location's record in the
    // local file marked to be forwarded (KeptLocally, `message` ""), a file location's in the file
    // (Kept); else in the journal (Journaled), else Lost, with `message` for the operator.
    TRecordFate Store(TJobRecord record, QString& message);
    // Why the last record Store lost was lost, in a few words ("no space left on the device").
    const QString& LostCause() const { return lostCause_; }

    // Opens a server's connection ahead of the first record (a failure is tried again then). A
    // file is opened at the first record, so that a run that records nothing makes none.
    void Connect() {
        QString ignored;
        if (ServerLocation()) Primary(ignored);
    }

    // Brings what waits in the local file and the journal to the location (for a SQLite location:
    // the journal into the file). Returns how many records were forwarded, -1 with `error` when
    // the location could not take them (they stay where they were, and nothing is forwarded twice).
    int Forward(QString& error);
    // How many local rows and journal lines wait to be forwarded (-1 when that cannot be read; a
    // local file that cannot be opened counts none).
    int Waiting();
    TRecordBacklog Backlog();
    // The SQLSTATE of the last failure to reach the server ("" when it gave none).
    const QString& ServerErrorCode() const { return serverCode_; }

    const QString& LocalPath() const { return localPath_; }

private:
    bool ServerLocation() const { return location_.Kind == THistoryLocation::TKind::Postgres; }
    THistoryStore* Primary(QString& error);
    THistoryStore* Local(QString& error);
    int ForwardLocalRows(THistoryStore& to, QString& error);
    int ForwardJournal(THistoryStore& to, QString& error);
    int EmptyJournal(int fd, const QSet<QByteArray>& forwarded, const QSet<QByteArray>& unreadable, QString& error);

    THistoryLocation location_;
    QString localPath_;
    TStoreOptions options_;
    std::unique_ptr<THistoryStore> server_;
    QString serverCode_;
    QString lostCause_;
    std::unique_ptr<THistoryStore> local_;
    dev_t localDev_ = 0;  // the local file the kept connection has open: one put in its place is
    ino_t localIno_ = 0;  // opened (and checked) anew, never written through the old connection
};
