#include "cli/CommandLineJob.h"

#include <QCoreApplication>
#include <cerrno>
#include <unistd.h>

#include "firmware/UploadFile.h"
#include "history/ResultRecord.h"
#include "host/PortDiagnosis.h"
#include "host/PortSource.h"
#include "host/StopSignals.h"

TCliVerdict CliVerdict(const TJobResult& result, int stopSignal) {
    if (result.Succeeded()) return {Exit::Success, "success"};
    switch (result.Kind) {
    case TResultKind::PortFailed: return {Exit::PortClosed, "port did not open"};
    case TResultKind::Interrupted: return {stopSignal ? StopStatus(stopSignal) : Exit::Interrupted, "interrupted"};
    case TResultKind::FileFailed:
        // A file that fails once the unit is being written has cost the unit its firmware.
        if (!result.UnitWritten) return {Exit::Usage, "file cannot be prepared"};
        return {Exit::Failed, "failed"};
    default: return {Exit::Failed, "failed"};
    }
}

TCliJob::TCliJob(const TCliOptions& options, TCliView& view, const std::string& programFolder,
                 const std::string& filePath, TStopSignals& stopSignals, TJobRecorder* recorder)
    : options_(options), view_(view), filePath_(filePath), signals_(stopSignals), recorder_(recorder),
      port_([this](std::function<void()> f) { QMetaObject::invokeMethod(&context_, std::move(f), Qt::QueuedConnection); },
            [this](const std::string& text) { view_.Error(text); }),
      engine_(port_, view_, programFolder) {
    port_.SetDeviceFolder(engine_.ProgramFolder());
    port_.Serial.SetDevicePath(options.Device);
    engine_.SetRememberPort(false);
    engine_.SetPrivateFactoryFiles(true);
    // A step run by an arrival is observed like one run by a tick.
    port_.OnRxData = [this, engineRx = port_.OnRxData] {
        engineRx();
        Observe();
    };
    view_.OnFinished = [this](const TJobResult& result) { finished_ = result; };
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(options.TickMs);
    QObject::connect(&timer_, &QTimer::timeout, &context_, [this] { Tick(); });
}

TCliJob::~TCliJob() {
    timer_.stop();
    view_.OnFinished = nullptr;
    // The port goes before the job stops listening for signals: a late Ctrl-C must not leave it
    // locked and set up.
    port_.SetActive(false);
    if (subscription_) signals_.Unsubscribe(subscription_);
}

int TCliJob::Run() {
    subscription_ = signals_.Subscribe([this](int signal) { Stop(signal); });
    engine_.FormActivated();
    if (options_.Capture) {
        engine_.ToggleCapture(options_.CapturePath);
        if (!engine_.CaptureOn()) Done(Exit::Usage, "capture file cannot be written", view_.LastMessage());
    }
    if (status_ < 0) Start();
    if (status_ < 0) {
        timer_.start();
        QCoreApplication::exec();
    }
    return status_;
}

void TCliJob::Start() {
    const std::string portText = std::to_string(options_.Port);
    switch (options_.Command) {
    case TCommand::Upload:
        Act([&] { engine_.SoftwareUploadChosen(portText, std::to_string(options_.Baud)); });
        break;
    case TCommand::Factory: Act([&] { engine_.FactoryChosen(portText); }); break;
    default:
        // Preparation alone needs no port.
        phase_ = TPhase::Preparing;
        engine_.PrepareOnly(filePath_);
        Observe();
        break;
    }
}

void TCliJob::Act(const std::function<void()>& action) {
    engine_.Guarded(action);
    Observe();
}

void TCliJob::Tick() {
    engine_.Tick();
    Observe();
}

// ---- after every step: what follows when the engine has come to rest ----

void TCliJob::Observe() {
    if (phase_ == TPhase::Done) return;
    // The result is acted on after the step that gave it, never inside it.
    if (finished_) return Finish(*finished_);
    const int state = engine_.UploadState();
    if (state != lastState_) {
        lastState_ = state;
        view_.StateReached(state);
    }
    // Preparation alone ends where the run could be started.
    if (options_.Command == TCommand::Prepare && view_.Offered(TOffer::RunPanel)) return PrepareReport();
    if (engine_.Resting()) Advance();
}

void TCliJob::Advance() {
    switch (phase_) {
    case TPhase::Opening: return PortOpened();
    case TPhase::Preparing: return Prepared();
    case TPhase::Running: return Done(Exit::Failed, "failed", "stopped");  // a rest without a result
    default: return;  // waiting for the operator
    }
}

void TCliJob::PortOpened() {
    if (!port_.Active()) return;  // the result says why
    if (options_.Command == TCommand::Factory) {
        phase_ = TPhase::Proceed;
        return AskToProceed();
    }
    phase_ = TPhase::Preparing;
    Act([this] { engine_.FileChosen(filePath_); });
}

void TCliJob::Prepared() {
    if (!view_.Offered(TOffer::StartRun)) return Done(Exit::Usage, "file cannot be prepared", "'" + filePath_ + "' was not prepared");
    phase_ = TPhase::Running;
    Act([this] { engine_.StartRun(); });
}

void TCliJob::PrepareReport() {
    view_.Note("Blocks: " + std::to_string(engine_.BlockCount()));
    view_.Note("Checksum: " + engine_.PreparedChecksum());
    const TInputKind kind = InputKind(engine_.InputExt());
    if (kind == TInputKind::IntelHex) view_.Note("Written: " + engine_.BinFileName());
    if (kind != TInputKind::Upload) view_.Note("Written: " + engine_.ZupFileName());
    Done(Exit::Success, "prepared", "");
}

// ---- the factory job's Proceed ----

void TCliJob::AskToProceed() {
    if (options_.Yes) return Proceed();
    view_.Note("Press Enter to proceed (Ctrl-C stops)");
    stdin_ = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(stdin_.get(), &QSocketNotifier::activated, &context_, [this] { ReadEnter(); });
}

void TCliJob::ReadEnter() {
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) return Done(Exit::Interrupted, "stopped", "no Enter before the end of input; nothing was sent to the unit");
    if (std::string(buffer, static_cast<size_t>(n)).find('\n') == std::string::npos) return;
    stdin_->setEnabled(false);
    Proceed();
}

void TCliJob::Proceed() {
    phase_ = TPhase::Running;
    Act([this] { engine_.GoOn(); });
}

// ---- the end ----

void TCliJob::Stop(int signal) {
    if (phase_ == TPhase::Done) return;
    stopSignal_ = signal;
    // No step may run again, and the port goes at once: settings restored, lock released.
    timer_.stop();
    port_.SetActive(false);
    engine_.Interrupt();
    Observe();
}

void TCliJob::Finish(const TJobResult& finished) {
    TJobResult result = finished;
    Advise(result);
    if (recorder_) {
        // The port first: a slow record store must not hold the unit's line.
        port_.SetActive(false);
        TSystemPortSource ports;
        const std::string kept = recorder_->Keep(result, &ports);
        if (!kept.empty()) result.Warnings.push_back(kept);
    }
    const TCliVerdict verdict = CliVerdict(result, stopSignal_);
    for (const std::string& warning : result.Warnings) view_.Warning(warning);
    view_.SetResult(result);
    Done(verdict.Status, verdict.Word, result.Reason);
}

void TCliJob::Advise(const TJobResult& result) {
    TPortDiagnosis d;
    if (result.Kind == TResultKind::PortFailed)
        d = DiagnoseOpenFailure({port_.Serial.DeviceName(), port_.Serial.ErrorCode(),
                                 options_.Device.empty() ? options_.Port : 0, engine_.ProgramFolder()});
    else if (result.UnitNeverAnswered)
        d = DiagnoseNoAnswer(port_.Serial.DeviceName(), result.Baud);
    if (!d.Reason.empty() || !d.Remedy.empty()) view_.SetAdvice(d.Reason, d.Remedy);
}

void TCliJob::Done(int status, const std::string& result, const std::string& reason) {
    if (phase_ == TPhase::Done) return;
    phase_ = TPhase::Done;
    status_ = status;
    timer_.stop();
    if (stdin_) stdin_->setEnabled(false);
    engine_.CloseCapture();
    port_.SetActive(false);
    view_.Result(status, result, reason);
    QCoreApplication::exit(status);
}
