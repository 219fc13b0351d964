// One job of the command line on the engine, driven as the window's handlers drive it: open the
// port, prepare the file, start the run, go on after the operator, then read the outcome from the
// engine's states and run values. Ticks come from a QTimer as in the window, received bytes through
// the same queued path; SIGINT and SIGTERM stop the job between two steps.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>
#include <set>
#include <string>

#include "cli/CommandLineOptions.h"
#include "cli/CommandLineView.h"
#include "engine/SerialPort.h"
#include "engine/Sequencer.h"

class TCliJob {
public:
    // `fileName` is the firmware file's name inside the current folder (upload, prepare), and
    // `fileFolder` that folder, for naming the files written.
    TCliJob(const TCliOptions& options, TCliView& view, const std::string& programFolder, const std::string& fileName,
            const std::string& fileFolder);
    ~TCliJob();
    TCliJob(const TCliJob&) = delete;
    TCliJob& operator=(const TCliJob&) = delete;

    // Runs the job to its end on the application's event loop; returns the exit status.
    int Run();

private:
    enum class TPhase { Opening, Preparing, Proceed, Running, Done };
    struct TOutcome {
        int Status;
        std::string Result;
        std::string Reason;
    };

    void Start();
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
    TOutcome Outcome() const;
    TOutcome UploadOutcome() const;
    void Interrupt();
    std::string StopReason() const;
    void Done(int status, const std::string& result, const std::string& reason);
    void WatchSignals();
    bool Reached(int state) const { return reached_.count(state) != 0; }

    const TCliOptions& options_;
    TCliView& view_;
    std::string fileName_, fileFolder_;
    QObject context_;  // receives what the serial component posts, and owns the timer's connection
    TSerialPort port_;
    TSequencer engine_;
    QTimer timer_;
    std::unique_ptr<QSocketNotifier> signals_, stdin_;
    TPhase phase_ = TPhase::Opening;
    int status_ = -1;
    int lastState_ = State::Idle;
    int timedOutFrom_ = State::Idle;  // the state whose wait ran out
    std::set<int> reached_;           // the states of the current phase
    bool unitTouched_ = false;        // the run or the bootstrap has begun
};
