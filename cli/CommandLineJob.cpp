#include "cli/CommandLineJob.h"

#include <QCoreApplication>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "firmware/IntelHex.h"
#include "firmware/UploadFile.h"

namespace {

// The write end of the self-pipe: a signal handler may do no more than write a byte.
int signalPipeWrite = -1;

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipeWrite, &byte, 1);
    errno = saved;
}

bool Verifying(int state) { return state >= State::AwaitRestart && state <= State::AwaitFcs; }

}  // namespace

TCliJob::TCliJob(const TCliOptions& options, TCliView& view, const std::string& programFolder,
                 const std::string& fileName, const std::string& fileFolder)
    : options_(options), view_(view), fileName_(fileName), fileFolder_(fileFolder),
      port_([this](std::function<void()> f) { QMetaObject::invokeMethod(&context_, std::move(f), Qt::QueuedConnection); },
            [this](const std::string& text) { view_.Error(text); }),
      engine_(port_, view_, programFolder) {
    port_.SetDeviceFolder(engine_.ProgramFolder);
    port_.Serial.SetDevicePath(options.Device);
    engine_.RememberPort = false;
    // A step run by an arrival is observed like one run by a tick.
    port_.OnRxData = [this, engineRx = port_.OnRxData] {
        engineRx();
        Observe();
    };
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(options.TickMs);
    QObject::connect(&timer_, &QTimer::timeout, &context_, [this] { Tick(); });
}

TCliJob::~TCliJob() {
    timer_.stop();
    // The port goes before the signals get their default back: a late Ctrl-C must not leave it
    // locked and set up.
    port_.SetActive(false);
    if (signals_) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        const int readEnd = static_cast<int>(signals_->socket());
        signals_.reset();
        ::close(readEnd);
        ::close(signalPipeWrite);
        signalPipeWrite = -1;
    }
}

int TCliJob::Run() {
    WatchSignals();
    engine_.FormActivated();
    if (options_.Capture) {
        engine_.ToggleCapture(options_.CapturePath);
        if (!engine_.Capture.CaptureOn()) Done(Exit::Usage, "capture file cannot be written", view_.LastMessage());
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
        // Preparation alone needs no port: the engine's preparation states run as after a choice.
        engine_.Screen = TScreen::SoftwareUpload;
        phase_ = TPhase::Preparing;
        Act([this] { engine_.FileChosen(fileName_); });
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

// ---- after every step: the state reached, and what follows when the engine has come to rest ----

void TCliJob::Observe() {
    if (phase_ == TPhase::Done) return;
    const int state = engine_.UploadState;
    if (state != lastState_) {
        if (state == State::TimedOut) timedOutFrom_ = lastState_;
        reached_.insert(state);
        lastState_ = state;
        view_.StateReached(state);
    }
    // Preparation alone ends where the ready screen would be shown.
    if (options_.Command == TCommand::Prepare && state == State::ReadyScreen) return Prepared();
    if (state == State::Idle) Advance();
}

void TCliJob::Advance() {
    switch (phase_) {
    case TPhase::Opening: return PortOpened();
    case TPhase::Preparing: return Prepared();
    case TPhase::Running: {
        const TOutcome outcome = Outcome();
        return Done(outcome.Status, outcome.Result, outcome.Reason);
    }
    default: return;  // waiting for the operator
    }
}

void TCliJob::PortOpened() {
    if (!port_.Active()) {
        const std::string reason = port_.ErrorText().empty() ? "no reason given" : port_.ErrorText();
        const std::string device = port_.Serial.DeviceName();
        const std::string name = port_.DisplayName() == device ? device : port_.DisplayName() + " (" + device + ")";
        return Done(Exit::PortClosed, "port did not open", name + ": " + reason);
    }
    if (options_.Command == TCommand::Factory) {
        phase_ = TPhase::Proceed;
        return AskToProceed();
    }
    phase_ = TPhase::Preparing;
    reached_.clear();
    Act([this] { engine_.FileChosen(fileName_); });
}

void TCliJob::Prepared() {
    if (!Reached(State::ReadyScreen)) {
        const std::string reason = view_.LastMessage();
        return Done(Exit::Usage, "file cannot be prepared", reason.empty() ? "'" + fileName_ + "' was not prepared" : reason);
    }
    if (options_.Command == TCommand::Prepare) return PrepareReport();
    phase_ = TPhase::Running;
    reached_.clear();
    unitTouched_ = true;
    Act([this] { engine_.StartRun(); });
}

void TCliJob::PrepareReport() {
    std::string checksum;
    try {
        TZupFile zup;
        zup.Open(engine_.ZupFileName);
        std::string block;
        while (zup.ReadBlock(block)) {
        }
        checksum = zup.ReadFileChecksum();
    } catch (const std::exception& e) {
        return Done(Exit::Usage, "file cannot be prepared", e.what());
    }
    view_.Note("Blocks: " + std::to_string(engine_.BlockCount));
    view_.Note("Checksum: " + checksum);
    const TInputKind kind = InputKind(engine_.InputExt);
    if (kind == TInputKind::IntelHex) view_.Note("Written: " + fileFolder_ + engine_.BinFileName);
    if (kind != TInputKind::Upload) view_.Note("Written: " + fileFolder_ + engine_.ZupFileName);
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
    reached_.clear();
    unitTouched_ = true;
    Act([this] { engine_.GoOn(); });
}

// ---- the outcome, from the states the run went through and its values ----

TCliJob::TOutcome TCliJob::Outcome() const {
    if (options_.Command == TCommand::Upload) return UploadOutcome();
    if (Reached(State::FactoryComplete)) return {Exit::Success, "success", "Factory Upload complete"};
    std::string reason = view_.LastMessage().empty() ? view_.LastHistory() : view_.LastMessage();
    return {Exit::Failed, "failed", OperatorText(reason)};
}

TCliJob::TOutcome TCliJob::UploadOutcome() const {
    const TSequencer& e = engine_;
    if (Reached(State::Complete)) {
        if (e.BlockCount < 2000) return {Exit::Success, "success", std::to_string(e.BlockCount) + " blocks sent"};
        if (e.UnitChecksum == e.FileChecksum && e.FileChecksum.size() == 4)
            return {Exit::Success, "success", "verified, checksum " + e.FileChecksum};
        return {Exit::Failed, "failed", "checksums different: unit " + e.UnitChecksum + ", file " + e.FileChecksum};
    }
    if (Reached(State::Halted)) return {Exit::Failed, "failed", "the unit reported " + OperatorText(e.LastReply)};
    if (Reached(State::TimedOut)) {
        const std::string what = "timed out " + e.WaitingFor;
        if (Verifying(timedOutFrom_)) return {Exit::Failed, "failed", "Upload not verified: " + what};
        return {Exit::Failed, "failed", what};
    }
    const std::string reason = view_.LastMessage().empty() ? view_.Text(TLine::Activity) : view_.LastMessage();
    return {Exit::Failed, "failed", reason.empty() ? "stopped" : OperatorText(reason)};
}

// ---- the end ----

void TCliJob::Interrupt() {
    if (phase_ == TPhase::Done) return;
    // No step may run again, and the port goes at once: settings restored, lock released.
    engine_.UploadState = State::Idle;
    timer_.stop();
    port_.SetActive(false);
    Done(Exit::Interrupted, "interrupted", StopReason());
}

std::string TCliJob::StopReason() const {
    if (!unitTouched_) return "stopped before anything was sent to the unit";
    const std::string where = engine_.BlocksSent > 0 ? "stopped at block " + std::to_string(engine_.BlocksSent) +
                                                           " of " + std::to_string(engine_.BlockCount)
                                                     : "stopped before the first block";
    return where + "; the unit must be uploaded again";
}

void TCliJob::Done(int status, const std::string& result, const std::string& reason) {
    phase_ = TPhase::Done;
    status_ = status;
    timer_.stop();
    if (stdin_) stdin_->setEnabled(false);
    engine_.CloseCapture();
    engine_.ZupFile.Close();
    port_.SetActive(false);
    view_.Result(status, result, reason);
    QCoreApplication::exit(status);
}

void TCliJob::WatchSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;  // without it the signals keep their default
    signalPipeWrite = fds[1];
    signals_ = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    QObject::connect(signals_.get(), &QSocketNotifier::activated, &context_, [this, fd = fds[0]] {
        char drain[16];
        while (::read(fd, drain, sizeof drain) > 0) {
        }
        Interrupt();
    });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
