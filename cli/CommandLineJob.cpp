#include "cli/CommandLineJob.h"

#include <QCoreApplication>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "firmware/UploadFile.h"
#include "host/PortDiagnosis.h"
#include "host/StopSignals.h"

namespace {

// How often a port that has gone (or is not there yet) is looked for.
constexpr int kReturnPollMs = 1000;
constexpr int kWaitPollMs = 100;

int Severity(int status) {
    switch (status) {
    case Exit::Success: return 0;
    case Exit::PortClosed: return 1;
    case Exit::Usage: return 2;
    case Exit::Failed: return 3;
    default: return 4;  // stopped by a signal
    }
}

}  // namespace

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

int WorseStatus(int a, int b) { return Severity(b) > Severity(a) ? b : a; }

TCliJob::TCliJob(const TCliOptions& options, const TCliUnit& unit, TCliView& view, const std::string& programFolder,
                 TStopSignals& stopSignals)
    : options_(options), unit_(unit), view_(view), signals_(stopSignals),
      port_([this](std::function<void()> f) { QMetaObject::invokeMethod(&context_, std::move(f), Qt::QueuedConnection); },
            [this](const std::string& text) { view_.Error(text); }),
      engine_(port_, view_, programFolder) {
    port_.SetDeviceFolder(engine_.ProgramFolder());
    port_.Serial.SetDevicePath(unit.Device);
    port_.Serial.SetPort(unit.Port);
    engine_.SetRememberPort(false);
    engine_.SetPrivateFactoryFiles(true);
    view_.SetEnterProceeds(options.Command == TCommand::Factory && !options.Yes);
    // A step run by an arrival is observed like one run by a tick.
    port_.OnRxData = [this, engineRx = port_.OnRxData] {
        engineRx();
        Observe();
    };
    view_.OnFinished = [this](const TJobResult& result) { finished_ = result; };
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(options.TickMs);
    QObject::connect(&timer_, &QTimer::timeout, &context_, [this] { Tick(); });
    QObject::connect(&poll_, &QTimer::timeout, &context_, [this] { Poll(); });
}

TCliJob::~TCliJob() {
    timer_.stop();
    poll_.stop();
    view_.OnFinished = nullptr;
    // The port goes before the job stops listening for signals: a late Ctrl-C must not leave it
    // locked and set up.
    port_.SetActive(false);
    if (subscription_) signals_.Unsubscribe(subscription_);
}

void TCliJob::Begin() {
    subscription_ = signals_.Subscribe([this](int signal) { Stop(signal); });
    engine_.FormActivated();
    if (options_.Capture) {
        engine_.ToggleCapture(unit_.CapturePath);
        if (!engine_.CaptureOn()) Done(Exit::Usage, "capture file cannot be written", view_.LastMessage());
    }
    if (status_ >= 0) return;
    timer_.start();
    StartWhenThere();
}

int TCliJob::Run() {
    OnEnd = [] { QCoreApplication::exit(); };
    Begin();
    if (status_ < 0) QCoreApplication::exec();
    return status_;
}

void TCliJob::StartWhenThere() {
    if (options_.Command == TCommand::Prepare || options_.WaitSeconds <= 0 || PathPresent()) return Start();
    view_.Note("waiting up to " + std::to_string(options_.WaitSeconds) + " s for " + unit_.Name);
    phase_ = TPhase::Waiting;
    AwaitPort(kWaitPollMs, options_.WaitSeconds * 1000LL);
}

void TCliJob::Start() {
    phase_ = TPhase::Opening;
    const std::string portText = std::to_string(unit_.Port);
    switch (options_.Command) {
    case TCommand::Upload:
        Act([&] { engine_.SoftwareUploadChosen(portText, std::to_string(options_.Baud)); });
        break;
    case TCommand::Factory: Act([&] { engine_.FactoryChosen(portText); }); break;
    default:
        // Preparation alone needs no port.
        phase_ = TPhase::Preparing;
        engine_.PrepareOnly(unit_.FilePath);
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
    if (finished_) {
        // Taken out first: the next unit of a --loop may give the next result.
        const TJobResult result = std::move(*finished_);
        finished_.reset();
        return Finish(result);
    }
    const int state = engine_.UploadState();
    if (state != lastState_) {
        lastState_ = state;
        view_.StateReached(state);
    }
    // An adapter pulled out while the port waits for its next unit: nothing was written, the
    // wake-up would only run out, so the port goes at once to waiting for it to come back.
    if (Looping() && phase_ == TPhase::Running && !engine_.Writing() && port_.Active() && port_.LineLost()) {
        unplugged_ = true;
        engine_.Interrupt();
        return Observe();
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
    default: return;  // waiting for the operator, or for the port
    }
}

void TCliJob::PortOpened() {
    if (!port_.Active()) return;  // the result says why
    outage_ = false;
    if (options_.Command == TCommand::Factory) {
        phase_ = TPhase::Proceed;
        return AskToProceed();
    }
    phase_ = TPhase::Preparing;
    Act([this] { engine_.FileChosen(unit_.FilePath); });
}

void TCliJob::Prepared() {
    if (!view_.Offered(TOffer::StartRun))
        return Done(Exit::Usage, "file cannot be prepared", "'" + unit_.FilePath + "' was not prepared");
    phase_ = TPhase::Running;
    Act([this] { engine_.StartRun(); });
    if (again_ && phase_ == TPhase::Running) view_.Note("waiting for the next unit");
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
    // The power-on prompt has said to press Enter.
    if (options_.Yes) return Proceed();
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
    if (again_ && phase_ == TPhase::Running) view_.Note("waiting for the next unit");
}

// ---- the end of a unit ----

void TCliJob::Stop(int signal) {
    if (phase_ == TPhase::Done) return;
    stopSignal_ = signal;
    // No step may run again, and the port goes at once: settings restored, lock released.
    timer_.stop();
    poll_.stop();
    port_.SetActive(false);
    engine_.Interrupt();
    Observe();
}

void TCliJob::Finish(const TJobResult& result) {
    const bool brokenFile = result.Kind == TResultKind::FileFailed && !result.UnitWritten;
    if (Looping() && !brokenFile && !IsUnit(result)) return Again(result);
    const TCliVerdict verdict = CliVerdict(result, stopSignal_);
    TJobResult shown = result;
    if (OnUnitResult && !brokenFile) {
        const std::string warning = OnUnitResult(result, verdict);
        if (!warning.empty()) shown.Warnings.push_back(warning);
    }
    for (const std::string& warning : shown.Warnings) view_.Warning(warning);
    view_.SetResult(shown);
    view_.SetAdvice({}, {});
    Advise(result);
    CountUnit(result);
    worst_ = WorseStatus(worst_, verdict.Status);
    if (Looping() && !brokenFile && (options_.Count == 0 || units_ < options_.Count)) {
        endWord_ = verdict.Word;
        endReason_ = result.Reason;
        view_.Result(verdict.Status, verdict.Word, result.Reason);
        return Again(result);
    }
    Done(options_.Loop ? worst_ : verdict.Status, verdict.Word, result.Reason);
}

void TCliJob::CountUnit(const TJobResult& result) {
    if (!options_.Loop) return;
    units_ += 1;
    if (!result.Succeeded()) failed_ += 1;
    view_.SetTally(std::to_string(units_) + " done, " + std::to_string(failed_) + " failed");
}

void TCliJob::Advise(const TJobResult& result) {
    TPortDiagnosis d;
    if (result.Kind == TResultKind::PortFailed)
        d = DiagnoseOpenFailure({port_.Serial.DeviceName(), port_.Serial.ErrorCode(),
                                 unit_.Device.empty() ? unit_.Port : 0, engine_.ProgramFolder()});
    else if (result.UnitNeverAnswered)
        d = DiagnoseNoAnswer(port_.Serial.DeviceName(), result.Baud);
    if (!d.Reason.empty() || !d.Remedy.empty()) view_.SetAdvice(d.Reason, d.Remedy);
}

void TCliJob::Done(int status, const std::string& result, const std::string& reason) {
    if (phase_ == TPhase::Done) return;
    phase_ = TPhase::Done;
    status_ = status;
    endWord_ = result;
    endReason_ = reason;
    timer_.stop();
    poll_.stop();
    if (stdin_) stdin_->setEnabled(false);
    engine_.CloseCapture();
    port_.SetActive(false);
    view_.Result(status, result, reason);
    if (OnEnd) OnEnd();
}

// ---- --loop: on to the next unit ----

// A wake-up nobody answered, a port that did not open or went away before anything was written:
// with --loop that is a port still waiting for its unit, not a unit that failed.
bool TCliJob::IsUnit(const TJobResult& result) const {
    if (result.Kind == TResultKind::PortFailed) return false;
    if (result.Kind == TResultKind::TimedOut && result.UnitNeverAnswered) return false;
    return result.UnitWritten || result.Kind != TResultKind::Interrupted;
}

void TCliJob::Again(const TJobResult& result) {
    again_ = true;
    const bool gone = unplugged_ || result.Kind == TResultKind::PortFailed || port_.LineLost() || !port_.Active();
    unplugged_ = false;
    if (gone) return AwaitReturn();
    NextRun();
}

void TCliJob::NextRun() {
    if (options_.Command == TCommand::Factory) {
        // The factory job starts from its port each time: the bootstrap runs at its own speed.
        port_.SetActive(false);
        return Start();
    }
    // The upload stays in memory and the port stays open: the wake-up goes out again at once.
    phase_ = TPhase::Preparing;
    Act([this] { engine_.RepeatUpload(); });
}

void TCliJob::AwaitReturn() {
    port_.SetActive(false);
    phase_ = TPhase::Waiting;
    if (!outage_) {
        outage_ = true;
        view_.Note(PathPresent() ? "the port did not open: trying again every second"
                                 : unit_.Name + " is gone: waiting for it to come back");
    }
    AwaitPort(kReturnPollMs, -1);
}

// ---- a port that is not there (yet) ----

void TCliJob::AwaitPort(int intervalMs, qint64 deadlineMs) {
    pollDeadline_ = deadlineMs;
    pollClock_.start();
    poll_.start(intervalMs);
}

void TCliJob::Poll() {
    if (phase_ != TPhase::Waiting) return poll_.stop();
    const bool late = pollDeadline_ >= 0 && pollClock_.elapsed() >= pollDeadline_;
    if (!PathPresent() && !late) return;
    poll_.stop();
    // After the time, the open fails the usual way and says why.
    Start();
}

// The path whose appearing means the port is there: the device as given, COM n's link in the
// program folder once it has been seen, else the device COM n stands for.
std::string TCliJob::WatchedPath() {
    if (!unit_.Device.empty()) return unit_.Device;
    const std::string link = engine_.ProgramFolder() + "COM" + std::to_string(unit_.Port);
    struct stat st {};
    if (linkSeen_ || ::lstat(link.c_str(), &st) == 0) {
        linkSeen_ = true;
        return link;
    }
    return port_.Serial.DeviceName();
}

bool TCliJob::PathPresent() {
    struct stat st {};
    return ::stat(WatchedPath().c_str(), &st) == 0;
}
