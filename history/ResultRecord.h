// A job's result as a row of the production record, and the one way the window and the command
// line keep it: where the record goes, what the station and the operator add to it, and what the
// operator is told when it could not be kept where it was meant to go.
#pragma once

#include <QString>
#include <string>

#include "engine/JobResult.h"
#include "history/HistoryLocation.h"
#include "history/JobRecord.h"

class TPortSource;

// What the result does not know: who and where.
struct TRecordContext {
    QString Station;         // the host name
    QString User;            // the login name
    QString ProgramVersion;
    QString UnitId;          // what the operator gave, "" otherwise
    QString RunId;           // shared by the units of one command, "" for a single job
};

// This machine and this user.
TRecordContext StationContext(const QString& programVersion);

// The row for `result`; the device's by-id name and adapter serial come from `ports` when given.
TJobRecord RecordOf(const TJobResult& result, const TRecordContext& context, TPortSource* ports = nullptr);

class TJobRecorder {
public:
    // `fallbackPath`: the local SQLite file that takes the record when a server cannot.
    TJobRecorder(const THistoryLocation& location, const QString& fallbackPath, TRecordContext context);

    // Keeps the record of `result`. "" when it went where it was meant to; otherwise the line for
    // the operator (kept elsewhere, or not kept and why). Never throws: the job is over whatever
    // happens to its record.
    std::string Keep(const TJobResult& result, TPortSource* ports = nullptr);
    TRecordContext& Context() { return context_; }

private:
    THistoryLocation location_;
    QString fallbackPath_;
    TRecordContext context_;
};

// Whether the record at `location` can be opened for writing, for a command that was pointed at
// it explicitly and must refuse before touching a unit: "" when it can, the reason otherwise.
std::string RecordStoreProblem(const THistoryLocation& location);
