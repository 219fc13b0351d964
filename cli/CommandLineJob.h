// One port's job of the command line on the engine, driven as the window's handlers drive it: open
// the port, prepare the file, start the run, go on after the operator; what it came to is the
// engine's result. With --loop the port then goes on to the next unit. Ticks come from a QTimer as
// in the window, received bytes through the same queued path; SIGINT, SIGTERM and SIGHUP stop the
// job between two steps.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli/CommandLineOptions.h"
#include "cli/CommandLineView.h"
#include "engine/Sequencer.h"
#include "engine/SerialPort.h"

class TStopSignals;

// The exit status and the result word a job's result comes to on the command line.
struct TCliVerdict {
    int Status;
    const char* Word;
};
TCliVerdict CliVerdict(const TJobResult& result, int stopSignal = 0);
// The status that says more of two: interrupted, then failed, then bad usage, then a port that
// did not open, then success.
int WorseStatus(int a, int b);

// The port one job runs on.
struct TCliUnit {
    std::string Name;         // the device as given, or "COM n"
    int Port = 1;             // COM n when Device is ""
    std::string Device;       // absolute
    std::string CapturePath;  // "" = Capture.txt in the program folder
    std::string FilePath;     // the firmware file's absolute path (upload, prepare)
};

class TCliJob {
public:
    TCliJob(const TCliOptions& options, const TCliUnit& unit, TCliView& view, const std::string& programFolder,
            TStopSignals& stopSignals);
    ~TCliJob();
    TCliJob(const TCliJob&) = delete;
    TCliJob& operator=(const TCliJob&) = delete;

    // Every unit's result as it ends (each one with --loop), before the port goes on.
    // Returns a warning for the unit's result ("" for none): the record that could not be kept.
    std::function<std::string(const TJobResult&, const TCliVerdict&)> OnUnitResult;
    // The port is done: no more units will be run on it.
    std::function<void()> OnEnd;

    // Starts the job on the application's event loop; OnEnd may come before this returns.
    void Begin();
    // Begin, and run the event loop until the job ends; returns the exit status.
    int Run();
    bool Ended() const { return phase_ == TPhase::Done; }
    int Status() const { return status_; }
    // The last result's word and reason (the port's end, or with --loop its last unit).
    const std::string& EndWord() const { return endWord_; }
    const std::string& EndReason() const { return endReason_; }
    // --loop: units done on this port, and how many failed.
    int Units() const { return units_; }
    int FailedUnits() const { return failed_; }
    // The upload file the preparation wrote (or was given).
    std::string PreparedFile() const { return engine_.ZupFileName(); }

private:
    enum class TPhase { Opening, Preparing, Proceed, Running, Waiting, Done };

    void Start();
    void StartWhenThere();
    void Act(const std::function<void()>& action);
    void Tick();
    void Observe();
    void Advance();
    void PortOpened();
    void Prepared();
    void PrepareReport();
    void AskToProceed();
    void ReadEnter();
    void Proceed();
    void Stop(int signal);
    void Finish(const TJobResult& result);
    void CountUnit(const TJobResult& result);
    void Advise(const TJobResult& result);
    void Done(int status, const std::string& result, const std::string& reason);

    // ---- --loop and --wait ----
    bool Looping() const { return options_.Loop && !stopSignal_; }
    bool IsUnit(const TJobResult& result) const;
    void Again(const TJobResult& result);
    void NextRun();
    void AwaitReturn();
    void AwaitPort(int intervalMs, qint64 deadlineMs);
    void Poll();
    std::string WatchedPath();
    bool PathPresent();

    const TCliOptions& options_;
    const TCliUnit unit_;
    TCliView& view_;
    TStopSignals& signals_;
    int subscription_ = 0;
    int stopSignal_ = 0;
    QObject context_;  // receives what the serial component posts, and owns the timers' connections
    TSerialPort port_;
    TSequencer engine_;
    QTimer timer_;
    std::unique_ptr<QSocketNotifier> stdin_;
    TPhase phase_ = TPhase::Opening;
    int status_ = -1;
    int lastState_ = State::Idle;
    std::optional<TJobResult> finished_;
    std::string endWord_, endReason_;

    int units_ = 0, failed_ = 0;   // --loop: units done on this port, and how many of them failed
    int worst_ = Exit::Success;    // --loop: the status the units so far come to
    bool again_ = false;           // the port has gone on after a unit (or a unit that never came)
    bool unplugged_ = false;       // the line went while waiting for a unit
    bool outage_ = false;          // the port's loss has been reported, and it has not opened since
    bool linkSeen_ = false;        // COM n was its link in the program folder
    QTimer poll_;
    QElapsedTimer pollClock_;
    qint64 pollDeadline_ = -1;
};
