// A job's result as a row of the production record, and the one way the window and the command
// line keep it: where the record goes, what the station and the operator add to it, and what the
// operator is told when it could not be kept where it was meant to go.
#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/JobResult.h"
#include "history/HistoryLocation.h"
#include "history/JobRecord.h"
#include "history/RecordKeeping.h"

class TPortSource;

// What the result does not know: who and where.
struct TRecordContext {
    QString Station;         // the host name
    QString User;            // the login name
    QString ProgramVersion;
    QString UnitId;          // what the operator gave, "" otherwise
    QString RunId;           // shared by the units of one command, "" for a single job
    QString Recipe;          // the recipe's file name, "" when none was run
    QString RecipeSha256;    // the SHA-256 of its content
    QString RecipeKeyId;     // the id of the key that signed it, "" when none did
};

// This machine and this user.
TRecordContext StationContext(const QString& programVersion);

// The row for `result`; the device's by-id name and adapter serial come from `ports` when given. A
// relative input path is made absolute against the current folder, as the record keeps every path.
TJobRecord RecordOf(const TJobResult& result, const TRecordContext& context, TPortSource* ports = nullptr);

// What became of one record kept through a TJobRecorder.
struct TRecordOutcome {
    QString RecordId;
    TRecordFate Fate = TRecordFate::Kept;
    std::string Message;  // "" for Kept; else the line for the operator (kept elsewhere, or not kept and why)
    std::string Cause;    // Lost: why, in a few words ("no space left on the device")
};
using TRecordNotice = std::function<void(const TRecordOutcome& outcome)>;
// What a port says of a record nothing could keep ("record not kept: no space left on the device"),
// "" for one that is on the station's disk.
std::string RecordNotKept(const TRecordOutcome& outcome);

// How a recorder's records went, for the end of a run.
struct TRecorderTally {
    int Kept = 0, KeptLocally = 0, Journaled = 0, Lost = 0;
    int Waiting = 0;         // local rows and journal lines still to be forwarded after the run (-1: unknown)
    bool TimeRanOut = false; // Finish's limit (or a stop) came before the server took what waited
    TRecordBacklog Backlog;  // what waits beside the station's file, and where
};

// Keeps the records of a run's jobs without ever holding up its event loop. A writer thread of its
// own puts each record on the station's own disk (the local SQLite file, else the journal beside
// it), synced, and says so; a forwarder thread then takes what the local file and the journal hold
// to the line's server when there is one, all that waits at once, whenever it answers. Each has
// connections of its own and every wait of theirs is bounded, so both are always joined. One
// recorder per process run.
class TJobRecorder {
public:
    // `fallbackPath`: the local SQLite file that takes every record first (for a SQLite location,
    // the location's own file). Made on the thread whose event loop hears the notices.
    TJobRecorder(const THistoryLocation& location, const QString& fallbackPath, TRecordContext context,
                 const TStoreOptions& options = {});
    // Finishes as Finish(kFinishLimit) would, without any notice.
    ~TJobRecorder();
    TJobRecorder(const TJobRecorder&) = delete;
    TJobRecorder& operator=(const TJobRecorder&) = delete;

    // Queues the record of `result` and returns at once with its identity (the result's RecordId,
    // else a new UUID). `stored`, when given, is called on the recorder's thread (from its event
    // loop) once the record is on the station's disk (or nothing could take it: its outcome says
    // which, Kept standing for anything that has it on the disk); `notice` once the
    // record's fate is known: on the server, kept locally to be forwarded, journaled or lost.
    QString Keep(const TJobResult& result, TPortSource* ports = nullptr, TRecordNotice notice = {},
                 std::function<void(const TRecordOutcome&)> stored = {});

    // The end of a run: every queued record is put on the station's disk first, whatever the time;
    // then what waits for the server is forwarded within `limit`, while `stop` (when given; called
    // every few milliseconds, e.g. to process events and see a stop signal) says false. Past that
    // it stays in the local file. The forwarder's try in progress ends within the server
    // connection's bounds (kServerWaitMs a wait), and both threads are joined before this returns;
    // notices still due are delivered. Called once; Keep is not called after it.
    TRecorderTally Finish(std::chrono::milliseconds limit, const std::function<bool()>& stop = {});
    // Finish in two halves, for a caller whose event loop must go on meanwhile: Drain does every
    // wait and join, on any one thread (the loop still hears the notices that come meanwhile); then
    // Settle, on the thread that made the recorder, delivers the notices still due and counts.
    void Drain(std::chrono::milliseconds limit, const std::function<bool()>& stop = {});
    TRecorderTally Settle();
    static constexpr std::chrono::milliseconds kFinishLimit{6000};
    // The forwarder's every wait on the server: a connection attempt (an address), a statement.
    static constexpr int kServerWaitMs = 2000;

    TRecordContext& Context() { return context_; }

private:
    struct TShared;
    struct TDueLeft;
    template <class Done>
    bool Await(std::unique_lock<std::mutex>& lock, Done done, const std::function<bool()>& stop,
               std::chrono::steady_clock::time_point deadline, bool bounded);

    THistoryLocation location_;
    QString fallbackPath_;
    TRecordContext context_;
    TStoreOptions options_;
    std::unique_ptr<QObject> noticeContext_;
    std::shared_ptr<TShared> shared_;
    std::thread writer_;
    std::thread forwarder_;
    bool finished_ = false;
    std::vector<TDueLeft> left_;  // what Drain left for the local file, for Settle
    TRecordBacklog backlog_;
};

// Turns a database problem into what it means for a job about to start: "" when the record can be
// kept (a server that is down or does not answer now costs nothing but a later forwarding), the
// reason when it can never work there (malformed, the server refusing these credentials or this
// database, a newer schema, a local file that cannot be made).
std::string RecordStoreProblem(const THistoryLocation& location);
