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
    // The slot the operator named (a by-path link, COM n), which the device it led to may not tell.
    row.PortName = Local(GivenPortName(r));
    row.Device = Local(r.Device);
    if (TPortInfo p; ports && ports->Find(r.Device, p)) {
        row.DeviceById = Local(p.ById);
        row.DeviceByPath = Local(p.ByPath);
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
    row.WireRatio = r.WireRatio;
    row.ReplyMedianMs = r.ReplyMedianMs;
    row.PortUnit = r.PortUnit;
    row.CapturePath = Local(r.CaptureFile);
    row.RunId = c.RunId;
    row.Recipe = c.Recipe;
    row.RecipeSha256 = c.RecipeSha256;
    row.RecipeKeyId = c.RecipeKeyId;
    row.RecordId = r.RecordId.empty() ? QUuid::createUuid().toString(QUuid::WithoutBraces)
                                      : QString::fromStdString(r.RecordId);
    return row;
}

// What the recorder, its writer and its forwarder share, under `mutex`.
struct TJobRecorder::TShared {
    struct TItem {
        TJobRecord Record;
        TRecordNotice Notice;
        std::function<void(const TRecordOutcome&)> Stored;
    };
    // A record on the station's disk whose fate waits for the forwarder's next try of the server.
    struct TDue {
        TRecordOutcome Outcome;
        TRecordNotice Notice;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<TItem> queue;
    bool writerDone = false;
    std::vector<TDue> due;
    bool forwarding = false;      // the forwarder is trying the server
    bool forwarderDone = false;
    bool stopping = false;        // Finish: the writer ends once its queue is empty
    bool forwarderStop = false;   // Finish: the forwarder ends after the try it is in
    QObject* noticeContext = nullptr;  // null once the recorder no longer hears its threads
    TRecorderTally tally;

    void Count(TRecordFate fate) {
        switch (fate) {
        case TRecordFate::Kept: ++tally.Kept; break;
        case TRecordFate::KeptLocally: ++tally.KeptLocally; break;
        case TRecordFate::Journaled: ++tally.Journaled; break;
        case TRecordFate::Lost: ++tally.Lost; break;
        }
    }
    void Post(std::function<void()> f) {
        if (f && noticeContext) QMetaObject::invokeMethod(noticeContext, std::move(f), Qt::QueuedConnection);
    }
    void Tell(TRecordNotice notice, const TRecordOutcome& outcome) {
        Count(outcome.Fate);
        if (notice) Post([notice = std::move(notice), outcome] { notice(outcome); });
    }
};

std::string RecordNotKept(const TRecordOutcome& outcome) {
    if (outcome.Fate != TRecordFate::Lost) return {};
    return "record not kept" + (outcome.Cause.empty() ? std::string() : ": " + outcome.Cause);
}

namespace {

std::string LocalText(const QString& text) { return text.toLocal8Bit().toStdString(); }

// The writer thread: the station's own disk, one record at a time in the order the jobs ended, each
// synced before its unit's end is told. Qt's SQL connections belong to the thread that made them.
template <class Shared>
void StoreRecords(std::shared_ptr<Shared> shared, THistoryLocation location, QString fallback, TStoreOptions options) {
    TRecordKeeper keeper(location, fallback, options);
    const bool server = location.Kind == THistoryLocation::TKind::Postgres;
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return !shared->queue.empty() || shared->stopping; });
        if (shared->queue.empty()) break;
        typename Shared::TItem item = std::move(shared->queue.front());
        shared->queue.pop_front();
        lock.unlock();
        QString message;
        const TRecordFate fate = keeper.Store(item.Record, message);
        lock.lock();
        const TRecordOutcome outcome{item.Record.RecordId, fate, LocalText(message),
                                     fate == TRecordFate::Lost ? LocalText(keeper.LostCause()) : std::string()};
        if (item.Stored) shared->Post([stored = std::move(item.Stored), outcome] { stored(outcome); });
        if (server && fate != TRecordFate::Lost) shared->due.push_back({outcome, std::move(item.Notice)});
        else shared->Tell(std::move(item.Notice), outcome);
        shared->changed.notify_all();
    }
    shared->writerDone = true;
    shared->changed.notify_all();
}

// The forwarder thread: what the writer stored goes on to the line's server, all that waits at
// once; a server that is down or hung costs this thread its bounded wait, never a port.
template <class Shared>
void ForwardRecords(std::shared_ptr<Shared> shared, THistoryLocation location, QString fallback, TStoreOptions options) {
    TRecordKeeper keeper(location, fallback, options);
    // Connected before the first job ends: the connection is kept for every record of the run.
    keeper.Connect();
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return !shared->due.empty() || shared->forwarderStop; });
        if (shared->forwarderStop) break;
        std::vector<typename Shared::TDue> round = std::move(shared->due);
        shared->due.clear();
        shared->forwarding = true;
        lock.unlock();
        QString error;
        const bool forwarded = keeper.Forward(error) >= 0;
        lock.lock();
        shared->forwarding = false;
        for (auto& d : round) {
            if (forwarded) d.Outcome = {d.Outcome.RecordId, TRecordFate::Kept, {}, {}};
            else if (d.Outcome.Fate == TRecordFate::KeptLocally)
                // Told by its SQLSTATE: a server that refuses (rights, tables) waits for someone to
                // set it right; one that is away or busy only for time.
                d.Outcome.Message = LocalText(
                    QString(ServerRefusesForGood(keeper.ServerErrorCode())
                                ? "the record server refuses the record (%1); it was kept in '%2', to be forwarded "
                                  "once the server is set right"
                                : "the record server could not take the record (%1); it was kept in '%2', to be forwarded")
                        .arg(error, keeper.LocalPath()));
            shared->Tell(std::move(d.Notice), d.Outcome);
        }
        shared->changed.notify_all();
    }
    shared->forwarderDone = true;
    shared->changed.notify_all();
}

}  // namespace

// Complete before the constructor: a vector member of it is made and destroyed there.
struct TJobRecorder::TDueLeft : TJobRecorder::TShared::TDue {};

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
    for (const char* driver : {"QSQLITE", "QPSQL"}) {
        if (QLatin1String(driver) == QLatin1String("QPSQL") && location_.Kind != THistoryLocation::TKind::Postgres) break;
        const QString warm = "zup_history_warm_" + QUuid::createUuid().toString(QUuid::WithoutBraces);
        QSqlDatabase::addDatabase(driver, warm);
        QSqlDatabase::removeDatabase(warm);
    }
    writer_ = std::thread(StoreRecords<TShared>, shared_, location_, fallbackPath_, options_);
    if (location_.Kind != THistoryLocation::TKind::Postgres) return;
    TStoreOptions forwarding = options_;
    forwarding.BusyTimeoutMs = kServerWaitMs;
    forwarder_ = std::thread(ForwardRecords<TShared>, shared_, location_, fallbackPath_, forwarding);
}

TJobRecorder::~TJobRecorder() {
    if (!finished_) {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->noticeContext = nullptr;
            for (auto& item : shared_->queue) item.Notice = nullptr, item.Stored = nullptr;
            for (auto& d : shared_->due) d.Notice = nullptr;
        }
        Finish(kFinishLimit);
    }
}

QString TJobRecorder::Keep(const TJobResult& result, TPortSource* ports, TRecordNotice notice,
                           std::function<void(const TRecordOutcome&)> stored) {
    TJobRecord record = RecordOf(result, context_, ports);
    const QString id = record.RecordId;
    std::lock_guard lock(shared_->mutex);
    shared_->queue.push_back({std::move(record), std::move(notice), std::move(stored)});
    shared_->changed.notify_all();
    return id;
}

// Waits on `shared` until `done` says so, `stop` says stop (when `bounded`) or the deadline passes
// (when `bounded`); `stop` is called every few milliseconds either way, e.g. to keep a window drawn.
template <class Done>
bool TJobRecorder::Await(std::unique_lock<std::mutex>& lock, Done done, const std::function<bool()>& stop,
                         std::chrono::steady_clock::time_point deadline, bool bounded) {
    while (!done()) {
        if (bounded && std::chrono::steady_clock::now() >= deadline) return false;
        shared_->changed.wait_for(lock, std::chrono::milliseconds(20));
        if (!stop) continue;
        lock.unlock();
        const bool stopped = stop();
        lock.lock();
        if (stopped && bounded && !done()) return false;
    }
    return true;
}

TRecorderTally TJobRecorder::Finish(std::chrono::milliseconds limit, const std::function<bool()>& stop) {
    Drain(limit, stop);
    return Settle();
}

void TJobRecorder::Drain(std::chrono::milliseconds limit, const std::function<bool()>& stop) {
    finished_ = true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<TShared::TDue> left;
    {
        std::unique_lock lock(shared_->mutex);
        shared_->stopping = true;
        shared_->changed.notify_all();
        // Every record reaches the station's disk, whatever the time: each write is bounded by the
        // local file's busy timeout.
        Await(lock, [&] { return shared_->writerDone; }, stop, deadline, false);
        // What waits for the server is tried within the time left; past it, it stays in the local file.
        const bool forwarded = Await(
            lock, [&] { return shared_->forwarderDone || (shared_->due.empty() && !shared_->forwarding); }, stop,
            deadline, true);
        if (!forwarded) shared_->tally.TimeRanOut = true;
        shared_->forwarderStop = true;
        shared_->changed.notify_all();
        // The try the forwarder is in ends within the server connection's own bounds (kServerWaitMs).
        Await(lock, [&] { return shared_->forwarderDone || !forwarder_.joinable(); }, stop, deadline, false);
        left = std::move(shared_->due);
        shared_->due.clear();
    }
    writer_.join();
    if (forwarder_.joinable()) forwarder_.join();
    // The local file is read here, on the thread that waited, not on the loop that settles.
    TRecordKeeper local(location_, fallbackPath_, options_);
    for (TShared::TDue& d : left) {
        if (d.Outcome.Fate == TRecordFate::KeptLocally)
            d.Outcome.Message = LocalText(QString("the record server did not answer in time; the record was kept "
                                                  "in '%1', to be forwarded")
                                              .arg(local.LocalPath()));
        left_.push_back({std::move(d)});
    }
    backlog_ = local.Backlog();
}

TRecorderTally TJobRecorder::Settle() {
    QCoreApplication::sendPostedEvents(noticeContext_.get(), QEvent::MetaCall);
    std::lock_guard lock(shared_->mutex);
    std::vector<TDueLeft> left = std::move(left_);
    left_.clear();
    for (TShared::TDue& d : left) {
        shared_->Count(d.Outcome.Fate);
        if (d.Notice && shared_->noticeContext) d.Notice(d.Outcome);
    }
    const bool server = location_.Kind == THistoryLocation::TKind::Postgres;
    shared_->tally.Backlog = backlog_;
    shared_->tally.Waiting = server || shared_->tally.Journaled > 0 ? shared_->tally.Backlog.Waiting() : 0;
    return shared_->tally;
}

namespace {

// Qt's PostgreSQL driver gives no SQLSTATE for a connection it could not make (libpq keeps it to
// itself): only then is the server's answer read from libpq's text. It answered and refused (these
// credentials, this database): that never changes by waiting; starting up, shutting down or full
// passes.
bool ConnectionRefused(const QString& error) {
    if (!error.contains(": cannot open: ")) return true;
    if (!error.contains("FATAL")) return false;
    for (const char* passing : {"starting up", "shutting down", "too many", "recovery mode"})
        if (error.contains(QLatin1String(passing))) return false;
    return true;
}

}  // namespace

std::string RecordStoreProblem(const THistoryLocation& location) {
    QString error, code;
    TStoreOptions options;
    options.BusyTimeoutMs = 2000;
    if (THistoryStore::Open(location, error, options, &code)) return {};
    // A server that is down, starting, stopping or busy costs nothing now.
    if (location.Kind == THistoryLocation::TKind::Postgres &&
        !(code.isEmpty() ? ConnectionRefused(error) : ServerRefusesForGood(code)))
        return {};
    return error.toLocal8Bit().toStdString();
}
