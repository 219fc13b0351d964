#include "history/ResultRecord.h"
#include "base/Paths.h"
#include "base/ShownText.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSysInfo>
#include <QUuid>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

#include "history/HistoryStore.h"
#include "host/PortSource.h"

namespace {

QString Local(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())); }
// What the unit said is its bytes, not the locale's text.
QString FromUnit(const std::string& text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }
// A reason is UTF-8 text, as the window and the JSON events show it: bytes of the unit or of a file
// name that are not UTF-8 are kept as <XX>.
QString Reason(const std::string& text) { return QString::fromUtf8(ShownText(text).c_str()); }

QString LoginName() {
    if (const passwd* pw = ::getpwuid(::geteuid())) return QString::fromLocal8Bit(pw->pw_name);
    return QString::number(::geteuid());
}

}  // namespace

TRecordContext StationContext(const QString& programVersion) {
    TRecordContext c;
    c.Station = QSysInfo::machineHostName();
    c.User = LoginName();
    c.ProgramVersion = programVersion;
    return c;
}

TJobRecord RecordOf(const TJobResult& r, const TRecordContext& c, TPortSource* ports) {
    TJobRecord row;
    row.Start = QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(r.Started.time_since_epoch()).count(), Qt::UTC);
    row.DurationMs = r.Duration.count();
    row.Station = c.Station;
    row.User = c.User;
    row.ProgramVersion = c.ProgramVersion;
    row.Job = JobName(r.Job);
    row.Device = Local(r.Device);
    if (TPortInfo p; ports && ports->Find(r.Device, p)) {
        row.DeviceById = Local(p.ById);
        row.AdapterSerial = Local(p.UsbSerial);
    }
    row.ComPort = r.ComPort;
    row.Baud = r.Baud;
    row.InputFile = Local(AbsolutePath(r.InputFile));
    row.InputSize = r.InputSize < 0 ? 0 : r.InputSize;
    row.InputSha256 = QString::fromStdString(r.InputSha256);
    row.UploadSha256 = QString::fromStdString(r.UploadSha256);
    row.Blocks = r.BlockCount;
    row.FileChecksum = FromUnit(r.FileChecksum);
    row.UnitChecksum = FromUnit(r.UnitChecksum);
    row.UnitVersion = FromUnit(r.UnitVersion);
    // The unit's own id (scanned for it) before the one the run was given for its single unit.
    row.UnitId = r.UnitId.empty() ? c.UnitId : Local(r.UnitId);
    row.Result = ResultKindName(r.Kind);
    row.Reason = Reason(r.Reason);
    for (const std::string& w : r.Warnings) row.Warnings << Local(w);
    row.BlocksSent = r.BlocksSent;
    row.CapturePath = Local(r.CaptureFile);
    row.RunId = c.RunId;
    row.Recipe = c.Recipe;
    row.RecipeSha256 = c.RecipeSha256;
    row.RecordId = r.RecordId.empty() ? QUuid::createUuid().toString(QUuid::WithoutBraces)
                                      : QString::fromStdString(r.RecordId);
    return row;
}

// What the recorder and its writer share, under `mutex`.
struct TJobRecorder::TShared {
    struct TItem {
        TJobRecord Record;
        TRecordNotice Notice;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<TItem> queue;
    std::optional<TItem> inFlight;
    bool stopping = false;
    bool serverAway = false;   // the last record missed the server: those queued behind it skip it
    bool writerDone = false;
    QObject* noticeContext = nullptr;  // null once the recorder no longer hears its writer
    TRecorderTally tally;

    void Count(TRecordFate fate) {
        switch (fate) {
        case TRecordFate::Kept: ++tally.Kept; break;
        case TRecordFate::KeptLocally: ++tally.KeptLocally; break;
        case TRecordFate::Journaled: ++tally.Journaled; break;
        case TRecordFate::Lost: ++tally.Lost; break;
        }
    }
};

namespace {

// The writer thread: its own connections (Qt's SQL connections belong to the thread that made
// them), one record at a time in the order the jobs ended.
template <class Shared>
void WriteRecords(std::shared_ptr<Shared> shared, THistoryLocation location, QString fallback, TStoreOptions options) {
    TRecordKeeper keeper(location, fallback, options);
    // Connected before the first job ends: the connection is kept for every record of the run.
    keeper.Connect();
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return !shared->queue.empty() || shared->stopping; });
        if (shared->queue.empty()) break;
        shared->inFlight = std::move(shared->queue.front());
        shared->queue.pop_front();
        const bool tryServer = !shared->serverAway;
        TJobRecord record = shared->inFlight->Record;
        lock.unlock();
        TRecordOutcome outcome{record.RecordId, TRecordFate::Kept, {}};
        QString message;
        outcome.Fate = keeper.Keep(record, message, tryServer);
        outcome.Message = message.toLocal8Bit().toStdString();
        lock.lock();
        if (!shared->inFlight) continue;  // Finish took it over when its time was up
        shared->serverAway = location.Kind == THistoryLocation::TKind::Postgres &&
                             outcome.Fate != TRecordFate::Kept && !shared->queue.empty();
        shared->Count(outcome.Fate);
        if (TRecordNotice notice = std::move(shared->inFlight->Notice); notice && shared->noticeContext)
            QMetaObject::invokeMethod(shared->noticeContext, [notice, outcome] { notice(outcome); },
                                      Qt::QueuedConnection);
        shared->inFlight.reset();
        shared->changed.notify_all();
    }
    shared->writerDone = true;
    shared->changed.notify_all();
}

}  // namespace

TJobRecorder::TJobRecorder(const THistoryLocation& location, const QString& fallbackPath, TRecordContext context,
                           const TStoreOptions& options)
    : location_(location),
      fallbackPath_(fallbackPath),
      context_(std::move(context)),
      options_(options),
      noticeContext_(std::make_unique<QObject>()),
      shared_(std::make_shared<TShared>()) {
    shared_->noticeContext = noticeContext_.get();
    // The database driver (and the client library under it) is loaded here, before any unit runs:
    // loading it on the writer's thread in the middle of a run would hold the loader's lock that
    // every other thread may need at that moment.
    const QString warm = "zup_history_warm_" + QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSqlDatabase::addDatabase(location_.Kind == THistoryLocation::TKind::Postgres ? "QPSQL" : "QSQLITE", warm);
    QSqlDatabase::removeDatabase(warm);
    writer_ = std::thread(WriteRecords<TShared>, shared_, location_, fallbackPath_, options_);
}

TJobRecorder::~TJobRecorder() {
    if (!finished_) {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->noticeContext = nullptr;
            for (auto& item : shared_->queue) item.Notice = nullptr;
            if (shared_->inFlight) shared_->inFlight->Notice = nullptr;
        }
        Finish(kFinishLimit);
    }
}

QString TJobRecorder::Keep(const TJobResult& result, TPortSource* ports, TRecordNotice notice) {
    TJobRecord record = RecordOf(result, context_, ports);
    const QString id = record.RecordId;
    std::lock_guard lock(shared_->mutex);
    shared_->queue.push_back({std::move(record), std::move(notice)});
    shared_->changed.notify_all();
    return id;
}

TRecorderTally TJobRecorder::Finish(std::chrono::milliseconds limit, const std::function<bool()>& stop) {
    finished_ = true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<TShared::TItem> left;
    {
        std::unique_lock lock(shared_->mutex);
        shared_->stopping = true;
        shared_->changed.notify_all();
        while (!shared_->writerDone) {
            if (std::chrono::steady_clock::now() >= deadline) break;
            shared_->changed.wait_for(lock, std::chrono::milliseconds(20));
            if (!stop) continue;
            lock.unlock();
            const bool stopped = stop();
            lock.lock();
            if (stopped) break;
        }
        // Time is up: the writer may be waiting on a server that never answers. What it holds and
        // what is queued go to the local file from here; a record it still gets to the server is
        // then there twice, which forwarding ignores by its identity.
        if (!shared_->writerDone) {
            shared_->tally.TimeRanOut = true;
            if (shared_->inFlight) left.push_back(std::move(*shared_->inFlight));
            shared_->inFlight.reset();
            for (auto& item : shared_->queue) left.push_back(std::move(item));
            shared_->queue.clear();
            shared_->noticeContext = nullptr;
        }
    }
    TStoreOptions quick = options_;
    quick.BusyTimeoutMs = 1000;
    TRecordKeeper local(location_, fallbackPath_, quick);
    std::vector<std::pair<TRecordNotice, TRecordOutcome>> due;
    for (TShared::TItem& item : left) {
        QString message;
        const TRecordFate fate = local.Keep(item.Record, message, false);
        std::lock_guard lock(shared_->mutex);
        shared_->Count(fate);
        if (item.Notice) due.push_back({item.Notice, {item.Record.RecordId, fate, message.toLocal8Bit().toStdString()}});
    }
    if (writer_.joinable()) {
        std::unique_lock lock(shared_->mutex);
        const bool done = shared_->writerDone;
        lock.unlock();
        // A writer still inside a connection that never answers is left to end with the process:
        // it holds nothing the program still needs, and waiting for it is what must not happen.
        if (done) writer_.join();
        else writer_.detach();
    }
    QCoreApplication::sendPostedEvents(noticeContext_.get(), QEvent::MetaCall);
    for (auto& [notice, outcome] : due) notice(outcome);
    std::lock_guard lock(shared_->mutex);
    shared_->tally.Waiting = location_.Kind == THistoryLocation::TKind::Postgres || shared_->tally.Journaled > 0
                                 ? local.Waiting()
                                 : 0;
    return shared_->tally;
}

namespace {

// The server answered and refused (these credentials, this database): that never changes by
// waiting. A server starting up, shutting down or full answers with FATAL too, but only for now.
bool ServerRefused(const QString& error) {
    if (!error.contains("FATAL")) return false;
    for (const char* passing : {"starting up", "shutting down", "too many", "recovery mode"})
        if (error.contains(QLatin1String(passing))) return false;
    return true;
}

}  // namespace

std::string RecordStoreProblem(const THistoryLocation& location) {
    QString error;
    TStoreOptions options;
    options.BusyTimeoutMs = 2000;
    if (THistoryStore::Open(location, error, options)) return {};
    if (location.Kind == THistoryLocation::TKind::Postgres && error.contains(": cannot open: ") &&
        !ServerRefused(error))
        return {};
    return error.toLocal8Bit().toStdString();
}
