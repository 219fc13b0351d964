// One port's job of the command line: the port's plan run on the job driver, the driver's
// events printed through the view, the operator's Enter for the factory job, and each unit's
// result made into its exit status, record and the port's final word. --loop, --wait, an adapter
// that comes back and the stop signals are the driver's.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli/CommandLineOptions.h"
#include "cli/CommandLineView.h"
#include "driver/JobDriver.h"
#include "host/OffLoop.h"
#include "host/PortDiagnosis.h"

class TStopSignals;

// The status that says more of two: interrupted, then failed, then bad usage, then a port that
// did not open, then success.
int WorseStatus(int a, int b);
// A port's tally in the totals' words: "2 loaded, 1 failed".
std::string LoadedAndFailed(int units, int failed);

class TCliJob : private TJobListener {
public:
    TCliJob(const TJobPlan& plan, TCliView& view, const std::string& programFolder, TStopSignals& stopSignals);
    ~TCliJob() override;
    TCliJob(const TCliJob&) = delete;
    TCliJob& operator=(const TCliJob&) = delete;

    // Every unit's result as it ends (each one with --loop), before the port goes on, for a job
    // that leaves a record. Returns a warning for the unit's result ("" for none): the record that
    // could not be kept.
    std::function<std::string(const TJobResult&, const TCliVerdict&)> OnUnitResult;
    // Keeps a unit's record on the station's disk before its end is told and the port goes on
    // (set before Begin): returns the record's identity and calls `stored` once it is stored, or
    // with why not. A unit whose record nothing could keep ends its port there: nobody is at a
    // command line to decide whether the line goes on unrecorded.
    std::function<std::string(const TJobResult&, TJobDriver::TStored stored)> OnStoreRecord;
    // The port is done: no more units will be run on it.
    std::function<void()> OnEnd;
    // The port holds its next unit until it has an id (--require-unit-id).
    std::function<void()> OnAwaitUnitId;

    // Starts the job on the application's event loop; OnEnd may come before this returns.
    void Begin();
    // Begin, and run the event loop until the job ends; returns the exit status.
    int Run();
    bool Ended() const { return status_ >= 0; }
    int Status() const { return status_; }
    // The last result's word and reason (the port's end, or with --loop its last unit).
    const std::string& EndWord() const { return endWord_; }
    const std::string& EndReason() const { return endReason_; }
    // --loop: units done on this port, and how many failed.
    int Units() const { return driver_.Units(); }
    int FailedUnits() const { return driver_.FailedUnits(); }
    // The upload file the preparation wrote (or was given).
    const TSharedUpload& PreparedUpload() const { return driver_.PreparedUpload(); }
    // The preparation's result, once one succeeded.
    const std::optional<TJobResult>& Prepared() const { return prepared_; }
    // The id of this port's next unit (--scan).
    void GiveUnitId(const std::string& id) { driver_.GiveUnitId(id); }
    bool AwaitsUnitId() const { return driver_.AwaitsUnitId(); }
    // The input of ids ended: a port that waits for one can have none.
    void Abandon(const std::string& reason) { driver_.Abandon(reason); }
    // Paused after its units failed in a row; Resume goes on to the next unit.
    bool Paused() const { return driver_.Paused(); }
    void Resume() { driver_.Resume(); }
    // Paused from outside once its unit ends (a control request).
    void Pause() { driver_.Pause(); }
    // A unit is being written: stopping now leaves it half-written.
    bool Writing() const { return driver_.Writing(); }
    // Stopped from outside as Ctrl-C stops it, without a signal.
    void Stop() { driver_.Stop(); }
    // The software version the port's last unit reported, "" when none did.
    const std::string& UnitVersion() const { return unitVersion_; }

private:
    void Event(const TJobEvent& event) override;
    void PortWait(const TPortWaitEvent& wait);
    void UnitEnded(const TUnitEndedEvent& ended);
    void StoreRecord(TJobResult& unit, TJobDriver::TStored stored);
    void PortEnded(const TPortEndEvent& end);
    void PrepareReport(const TJobResult& result);
    void AskToProceed();
    void ReadEnter();
    // `portEnd`: why the port ended without a unit's result to tell ("no_unit_id"), nullptr for a
    // port whose last unit's result is its end.
    // `status` is the port's; `shown`, when given, the status of the result told (a loop's last unit,
    // whose own status is not the port's when an earlier unit failed).
    void Done(int status, const std::string& result, const std::string& reason, const char* portEnd = nullptr,
              int shown = -1);

    const TJobPlan plan_;
    TCliView& view_;
    QObject context_;
    TJobDriver driver_;
    std::unique_ptr<QSocketNotifier> stdin_;
    int status_ = -1;
    int worst_ = Exit::Success;  // --loop: the status the units so far come to
    TCliVerdict last_{Exit::Failed, "failed"};
    std::string lastReason_ = "stopped";
    std::string endWord_, endReason_;
    std::string unitVersion_;
    std::optional<TJobResult> prepared_;
    // A unit's port, diagnosed while its record was kept, and the record's id.
    std::optional<std::pair<std::string, TPortDiagnosis>> diagnosed_;
    TOffLoop diagnoser_{&context_};
};
