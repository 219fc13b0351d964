// One job of the command line on the engine, driven as the window's handlers drive it: open the
// port, prepare the file, start the run, go on after the operator; what it came to is the engine's
// result. Ticks come from a QTimer as in the window, received bytes through the same queued path;
// SIGINT, SIGTERM and SIGHUP stop the job between two steps.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>

#include "cli/CommandLineOptions.h"
#include "cli/CommandLineView.h"
#include "engine/Sequencer.h"
#include "engine/SerialPort.h"

class TJobRecorder;
class TStopSignals;

class TCliJob {
public:
    // `filePath` is the firmware file's absolute path (upload, prepare).
    TCliJob(const TCliOptions& options, TCliView& view, const std::string& programFolder, const std::string& filePath,
            TStopSignals& stopSignals, TJobRecorder* recorder = nullptr);
    ~TCliJob();
    TCliJob(const TCliJob&) = delete;
    TCliJob& operator=(const TCliJob&) = delete;

    // Runs the job to its end on the application's event loop; returns the exit status.
    int Run();

private:
    enum class TPhase { Opening, Preparing, Proceed, Running, Done };

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
    void Stop(int signal);
    void Finish(const TJobResult& result);
    void Advise(const TJobResult& result);
    void Done(int status, const std::string& result, const std::string& reason);

    const TCliOptions& options_;
    TCliView& view_;
    std::string filePath_;
    TStopSignals& signals_;
    TJobRecorder* recorder_;
    int subscription_ = 0;
    int stopSignal_ = 0;
    QObject context_;  // receives what the serial component posts, and owns the timer's connection
    TSerialPort port_;
    TSequencer engine_;
    QTimer timer_;
    std::unique_ptr<QSocketNotifier> stdin_;
    TPhase phase_ = TPhase::Opening;
    int status_ = -1;
    int lastState_ = State::Idle;
    std::optional<TJobResult> finished_;
};

// The exit status and the result word a job's result comes to on the command line.
struct TCliVerdict {
    int Status;
    const char* Word;
};
TCliVerdict CliVerdict(const TJobResult& result, int stopSignal = 0);
