#include "driver/JobDriver.h"

#include <QPointer>
#include <memory>
#include <utility>
#include <sys/stat.h>

#include "host/Ports.h"
#include "host/StopSignals.h"

namespace {

// How often a port that has gone (or is not there yet) is looked for.
constexpr int kReturnPollMs = 1000;
constexpr int kWaitPollMs = 100;

}  // namespace

TJobDriver::TJobDriver(const TJobPlan& plan, TJobListener& listener, const std::string& programFolder,
                       TStopSignals& stops)
    : TJobDriver(plan, listener, programFolder, &stops, nullptr) {}

TJobDriver::TJobDriver(const TJobPlan& plan, TJobListener& listener, const std::string& programFolder,
                       TStopSignals& stops, TUnitPort& line)
    : TJobDriver(plan, listener, programFolder, &stops, &line) {}

TJobDriver::TJobDriver(const TJobPlan& plan, TJobListener& listener, const std::string& programFolder)
    : TJobDriver(plan, listener, programFolder, nullptr, nullptr) {}

TJobDriver::TJobDriver(const TJobPlan& plan, TJobListener& listener, const std::string& programFolder,
                       TStopSignals* stops, TUnitPort* line)
    : plan_(plan), listener_(listener), signals_(stops),
      port_([this](std::function<void()> f) { QMetaObject::invokeMethod(&context_, std::move(f), Qt::QueuedConnection); },
            [this](const std::string& text) { listener_.Event(TMessageEvent{text}); }),
      line_(line ? *line : port_), ownLine_(!line), engine_(line_, *this, programFolder) {
    port_.Serial.SetPortRule(ComRule(engine_.ProgramFolder()));
    port_.Serial.SetDevicePath(plan.Device);
    port_.Serial.SetPort(plan.Port);
    // The window's operator finds the port they chose again at the next start.
    engine_.SetRememberPort(plan.OperatorPaced);
    engine_.SetPrivateFactoryFiles(plan.ScratchTag);
    engine_.SetPrepareInMemory(plan.PrepareInMemory);
    engine_.SetUploadChecks(plan.Verify, plan.ExpectVersion);
    if (!plan.UnitId.empty()) ids_.push_back(plan.UnitId);
    // A step run by an arrival is followed up like one run by a tick.
    line_.OnRxData = [this, engineRx = line_.OnRxData] {
        engineRx();
        AfterStep();
    };
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(plan.TickMs);
    QObject::connect(&timer_, &QTimer::timeout, &context_, [this] { Tick(); });
    QObject::connect(&poll_, &QTimer::timeout, &context_, [this] { Poll(); });
}

TJobDriver::~TJobDriver() {
    timer_.stop();
    poll_.stop();
    // The port goes before the driver stops listening for signals: a late Ctrl-C must not leave
    // it locked and set up.
    line_.SetActive(false);
    if (subscription_) signals_->Unsubscribe(subscription_);
}

void TJobDriver::Begin() {
    if (signals_) subscription_ = signals_->Subscribe([this](int signal) { Stop(signal); });
    if (plan_.OperatorPaced) return timer_.start();  // the operator's buttons start each job
    // COM n that is a link in the program folder stays that link for the whole run: should it go,
    // the port waits for it to come back rather than opening /dev/ttyS<n-1> instead.
    if (plan_.Device.empty()) {
        struct stat st {};
        const std::string link = ComLink(engine_.ProgramFolder(), plan_.Port);
        if (::lstat(link.c_str(), &st) == 0) port_.Serial.SetPortRule(ComRule(engine_.ProgramFolder(), true));
    }
    if (plan_.Capture) {
        const std::string problem = engine_.ToggleCapture(plan_.CapturePath);
        if (!problem.empty()) return End(TPortEnd::CaptureFailed, problem);
    }
    if (ownLine_) timer_.start();
    StartWhenThere();
}

void TJobDriver::StartWhenThere() {
    if (plan_.Job == TDriverJob::Prepare || plan_.WaitSeconds <= 0 || PathPresent()) return Start();
    listener_.Event(TPortWaitEvent{TPortWait::NotThereYet, plan_.WaitSeconds});
    AwaitPort(kWaitPollMs, plan_.WaitSeconds * 1000LL);
}

void TJobDriver::Start() {
    if (IsUsbDeviceSpec(plan_.Device)) UseUsbAdapter();
    switch (plan_.Job) {
    case TDriverJob::Upload:
        Act([this] { engine_.OpenUploadPort(std::to_string(plan_.Port), std::to_string(plan_.Baud)); });
        break;
    case TDriverJob::Factory: Act([this] { engine_.OpenFactoryPort(std::to_string(plan_.Port)); }); break;
    case TDriverJob::Prepare: Act([this] { engine_.PrepareAlone(plan_.FilePath); }); break;
    }
}

void TJobDriver::Act(const std::function<void()>& action) {
    engine_.Guarded(action);
    AfterStep();
}

void TJobDriver::Tick() {
    engine_.Tick();
    AfterStep();
}

void TJobDriver::GoOn() {
    if (ended_ || held_ || holding_ || lost_ || paused_) return;
    Launch([this] {
        running_ = true;
        engine_.GoOn();
    });
    AfterStep();
}

// ---- the unit's id ----

// A unit is woken only once it has its id, when the line asks for one: the start waits here and
// the port says so.
void TJobDriver::Launch(std::function<void()> begin) {
    // Every wake-up is a unit of its own until it is answered.
    unitAnswered_ = false;
    TakeUnitId();
    if (plan_.RequireUnitId && unitId_.empty()) {
        held_ = std::move(begin);
        listener_.Event(TAwaitingEvent{TOperatorStep::UnitId});
        return;
    }
    held_ = nullptr;
    engine_.Guarded(begin);
}

void TJobDriver::TakeUnitId() {
    if (!unitId_.empty() || ids_.empty()) return;
    unitId_ = ids_.front();
    ids_.pop_front();
}

void TJobDriver::GiveUnitId(const std::string& id) {
    if (ended_ || id.empty()) return;
    ids_.push_back(id);
    if (!unitAnswered_) TakeUnitId();
    if (!held_) return;
    next_ = [this, begin = std::move(held_)] { Launch(begin); };
    held_ = nullptr;
    AfterStep();
}

std::vector<std::string> TJobDriver::UnitIdsToCome() const {
    std::vector<std::string> ids;
    if (!unitAnswered_ && !unitId_.empty()) ids.push_back(unitId_);
    ids.insert(ids.end(), ids_.begin(), ids_.end());
    return ids;
}

// ---- the engine's facts, and what they call for ----

void TJobDriver::Event(const TEngineEvent& event) {
    listener_.Event(AsJobEvent(event));
    // What a fact calls for runs after the step that told it, never inside it.
    if (std::holds_alternative<TUnitAnsweredEvent>(event)) {
        // From the answer on, the unit is this one: an id given now is the next one's.
        unitAnswered_ = true;
    } else if (const auto* r = std::get_if<TResultEvent>(&event)) {
        finished_ = r->Result;
    } else if (const auto* a = std::get_if<TAwaitingEvent>(&event); a && !plan_.OperatorPaced) {
        switch (a->Step) {
        case TOperatorStep::ChooseFile:
            next_ = [this] {
                if (plan_.Prepared) engine_.UsePrepared(plan_.Prepared);
                else engine_.Prepare(plan_.FilePath);
            };
            break;
        case TOperatorStep::StartUpload:
            next_ = [this] {
                Launch([this] {
                    running_ = true;
                    engine_.StartUpload();
                    if (again_) listener_.Event(TNextUnitEvent{});
                });
            };
            break;
        case TOperatorStep::FitJumpers:
            if (plan_.AutoGoOn) next_ = [this] {
                    Launch([this] {
                        running_ = true;
                        engine_.GoOn();
                    });
                };
            break;
        default: break;
        }
    }
}

void TJobDriver::AfterStep() {
    if (ended_ || inAfterStep_) return;
    inAfterStep_ = true;
    for (;;) {
        if (finished_) {
            // Taken out first: the next unit of a loop may give the next result.
            const TJobResult result = std::move(*finished_);
            finished_.reset();
            next_ = nullptr;
            // An operator-paced port stays open after a result: the operator's next button says
            // what follows.
            if (plan_.OperatorPaced) running_ = false;
            else Finish(result);
        } else if (next_) {
            const std::function<void()> next = std::move(next_);
            next_ = nullptr;
            engine_.Guarded(next);
        } else if (Looping() && running_ && !engine_.Writing() && line_.Active() && line_.LineLost()) {
            // An adapter pulled out while the port waits for its next unit: nothing was written,
            // and the wake-up would only run out, so the port goes at once to waiting for it.
            unplugged_ = true;
            engine_.Stop();
        } else {
            break;
        }
        if (ended_) break;
    }
    inAfterStep_ = false;
}

// ---- the end of a unit ----

void TJobDriver::Stop(int signal) {
    if (ended_) return;
    stopSignal_ = signal;
    // A stop without a signal (a window's Stop) ends a loop as surely as Ctrl-C does.
    stopped_ = true;
    // No step may run again, and the port goes at once: settings restored, lock released.
    timer_.stop();
    poll_.stop();
    Release();
    next_ = nullptr;
    held_ = nullptr;
    // A paused port has no unit: the stop ends it.
    if (paused_) {
        paused_.reset();
        return End(TPortEnd::Finished);
    }
    // A unit whose record is being stored has its result: the stop ends the port once it is stored.
    if (holding_) return;
    if (lost_) {
        lost_.reset();
        return End(TPortEnd::Finished);
    }
    engine_.Stop();
    AfterStep();
}

// A port held for its unit's id ends without a unit: it has no result to tell.
void TJobDriver::Abandon(const std::string& reason) {
    const TPortEnd why = lost_ ? TPortEnd::RecordLost : held_ ? TPortEnd::NoUnitId : TPortEnd::InputEnded;
    lost_.reset();
    End(why, reason);
}

void TJobDriver::GoOnWithoutRecord() {
    if (ended_ || !lost_) return;
    const TJobResult unit = std::move(*lost_);
    lost_.reset();
    GoOnAfter(unit);
    AfterStep();
}

// A port whose units fail one after another while the operator keeps feeding it has a fault of its
// own. Only units that were reached count: a port that did not open, a wake-up nobody answered and
// a stop from outside say nothing of the socket; a unit loaded clears the count.
void TJobDriver::CountFailureInRow(const TJobResult& result) {
    if (result.Succeeded()) failedInRow_ = 0;
    else if (IsUnit(result) && result.Kind != TResultKind::Interrupted && result.Kind != TResultKind::PortFailed)
        failedInRow_ += 1;
}

void TJobDriver::GoOnAfter(const TJobResult& result) {
    if (pauseAsked_) {
        pauseAsked_ = false;
        paused_ = result;
        return listener_.Event(TPortPausedEvent{true, 0});
    }
    if (plan_.PauseAfterFailures <= 0 || failedInRow_ < plan_.PauseAfterFailures) return Again(result);
    paused_ = result;
    listener_.Event(TPortPausedEvent{true, failedInRow_});
}

void TJobDriver::Pause() {
    if (!ended_ && !paused_ && Loops()) pauseAsked_ = true;
}

void TJobDriver::Resume() {
    pauseAsked_ = false;
    if (ended_ || !paused_) return;
    const TJobResult unit = std::move(*paused_);
    paused_.reset();
    failedInRow_ = 0;
    listener_.Event(TPortPausedEvent{false, 0});
    Again(unit);
    AfterStep();
}

void TJobDriver::Finish(const TJobResult& result) {
    if (result.Job == TJob::Prepare && result.Kind == TResultKind::Prepared && plan_.Job != TDriverJob::Prepare)
        return;  // the upload starts when the engine awaits it
    running_ = false;
    const bool brokenFile = result.Kind == TResultKind::FileFailed && !result.UnitWritten;
    // A stop ends the loop, but a result the stop brings is still judged as the loop judges units.
    const bool counted = !Loops() || brokenFile || IsUnit(result);
    TJobResult unit = result;
    if (counted) {
        units_ += 1;
        if (!result.Succeeded()) failed_ += 1;
        if (Loops()) unit.PortUnit = units_;
        CountFailureInRow(result);
        // A port still waiting for its unit keeps the id for the unit that comes.
        unit.UnitId = std::move(unitId_);
        unitId_.clear();
        unitAnswered_ = false;
    }
    if (!storeRecord_ || !counted || !LeavesRecord(unit)) return UnitDone(unit, counted);
    // The record is on the station's disk before the unit's end is told or the next unit woken:
    // a program killed from here on loses no record. The port holds meanwhile, its tick idle.
    holding_ = true;
    auto kept = std::make_shared<TJobResult>(std::move(unit));
    storeRecord_(*kept, [this, alive = QPointer<QObject>(&context_), kept](const std::string& notKept) {
        if (!alive || !holding_) return;
        holding_ = false;
        if (ended_) return;
        UnitDone(*kept, true, notKept);
        AfterStep();
    });
}

void TJobDriver::UnitDone(const TJobResult& unit, bool counted, const std::string& notKept) {
    const bool brokenFile = unit.Kind == TResultKind::FileFailed && !unit.UnitWritten;
    const bool more = Looping() && !brokenFile && (plan_.Count == 0 || units_ < plan_.Count);
    // A unit without a record is a unit the line cannot account for: the next one waits for the
    // operator, who may free the disk, or go on knowing it. Held before it is told, so that the
    // listener may end the port or go on from within the event.
    if (more && !notKept.empty()) lost_ = unit;
    listener_.Event(TUnitEndedEvent{unit, counted, units_, failed_, more, notKept});
    if (more && !notKept.empty()) return;
    if (more) return GoOnAfter(unit);
    End(TPortEnd::Finished);
}

void TJobDriver::End(TPortEnd why, const std::string& reason) {
    if (ended_) return;
    ended_ = true;
    timer_.stop();
    poll_.stop();
    engine_.CloseCapture();
    Release();
    listener_.Event(TPortEndEvent{why, reason});
}

// The port is closed for the engine at once; its device is let go by a thread of its own, as a
// receive thread that does not answer holds a close for up to 7.5 s.
void TJobDriver::Release() {
    if (!ownLine_ || !port_.Active()) return line_.SetActive(false);
    closing_ = true;
    // Posted to this driver's context: never run once the driver is gone.
    port_.Serial.CloseAside([this] {
        closing_ = false;
        // A port that goes on opens again now, unless it has been stopped or ended meanwhile.
        if (std::exchange(startWhenClosed_, false) && !ended_ && !stopped_) Start();
        if (auto then = std::exchange(whenClosed_, nullptr)) then();
    });
}

void TJobDriver::WhenClosed(std::function<void()> then) {
    if (!closing_) return then();
    whenClosed_ = std::move(then);
}

// ---- on to the next unit ----

// In a loop a unit is there once it answered the wake-up (or was written): a port that did not
// open or went away, a wake-up nobody answered and noise on an idle line are a port still waiting
// for its unit, not units that failed.
bool TJobDriver::IsUnit(const TJobResult& result) const { return result.UnitAnswered || result.UnitWritten; }

void TJobDriver::Again(const TJobResult& result) {
    again_ = true;
    const bool gone = unplugged_ || result.Kind == TResultKind::PortFailed || line_.LineLost() || !line_.Active();
    unplugged_ = false;
    if (gone) return AwaitReturn();
    NextRun();
}

void TJobDriver::NextRun() {
    if (plan_.Job == TDriverJob::Factory) {
        // The factory job starts from its port each time: the bootstrap runs at its own speed. The
        // port is opened again once its device has been let go, off the loop.
        Release();
        if (closing_) startWhenClosed_ = true;
        else Start();
        return;
    }
    // The upload stays in memory and the port stays open: the wake-up goes out again at once.
    next_ = [this] { engine_.NextUnit(); };
}

void TJobDriver::AwaitReturn() {
    // A lost line's close can wait as long as any other: its device is let go off the loop too.
    Release();
    if (!outage_) {
        outage_ = true;
        listener_.Event(TPortWaitEvent{PathPresent() ? TPortWait::Retrying : TPortWait::Gone});
    }
    AwaitPort(kReturnPollMs, -1);
}

// ---- a port that is not there (yet) ----

// A usb: name is looked up among the adapters attached at each try: one that is not there (yet)
// is a port that does not open, like a device path that is missing, and is waited for the same way.
std::string TJobDriver::UsbDevice(std::string* error) const {
    TSystemPortSource attached;
    std::string path, why;
    if (ResolveUsbDevice(plan_.Device, attached, path, why)) return path;
    if (error) *error = why;
    return {};
}

void TJobDriver::UseUsbAdapter() {
    std::string error;
    const std::string path = UsbDevice(&error);
    // Not found: the name itself is opened, which fails as a missing device and says so.
    port_.Serial.SetDevicePath(path.empty() ? plan_.Device : path);
    if (!path.empty() || error == usbError_) return;
    usbError_ = error;
    listener_.Event(TMessageEvent{error});
}

void TJobDriver::AwaitPort(int intervalMs, qint64 deadlineMs) {
    pollDeadline_ = deadlineMs;
    pollClock_.start();
    poll_.start(intervalMs);
}

void TJobDriver::Poll() {
    if (ended_) return poll_.stop();
    // The device the port had is still being let go: its return is looked for at the next poll.
    if (closing_) return;
    const bool late = pollDeadline_ >= 0 && pollClock_.elapsed() >= pollDeadline_;
    if (IsUsbDeviceSpec(plan_.Device)) return PollUsb(late);
    if (!PathPresent() && !late) return;
    poll_.stop();
    // After the time, the open fails the usual way and says why.
    Start();
}

// Every serial device attached is listed to find a usb: name: by a thread of its own, one listing
// at a time, so that a station's other ports never wait on the system's device tree.
void TJobDriver::PollUsb(bool late) {
    if (usbLookup_.Busy()) return;
    usbLookup_.Run([spec = plan_.Device] {
        TSystemPortSource attached;
        std::string path, why;
        return ResolveUsbDevice(spec, attached, path, why) ? path : std::string();
    }, [this, late](const std::string& path) {
        struct stat st {};
        if (ended_ || !poll_.isActive()) return;
        if ((path.empty() || ::stat(path.c_str(), &st) != 0) && !late) return;
        poll_.stop();
        Start();
    });
}

// The path whose appearing means the port is there: the device as given, COM n's link in the
// program folder once it has been seen, else the device COM n stands for.
std::string TJobDriver::WatchedPath() {
    if (IsUsbDeviceSpec(plan_.Device)) return UsbDevice(nullptr);
    if (!plan_.Device.empty()) return plan_.Device;
    const std::string link = ComLink(engine_.ProgramFolder(), plan_.Port);
    struct stat st {};
    if (linkSeen_ || ::lstat(link.c_str(), &st) == 0) {
        linkSeen_ = true;
        return link;
    }
    return port_.Serial.DeviceName();
}

bool TJobDriver::PathPresent() {
    const std::string path = WatchedPath();
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// ---- the operator's buttons ----

bool TJobDriver::OpenUpload(const std::string& portText, const std::string& baudText) {
    bool opened = false;
    if (!ended_) Act([&] { opened = engine_.OpenUploadPort(portText, baudText); });
    return opened;
}

void TJobDriver::OpenFactory(const std::string& portText) {
    if (!ended_) Act([&] { engine_.OpenFactoryPort(portText); });
}

void TJobDriver::ChooseFile(const std::string& path) {
    if (!ended_) Act([&] { engine_.Prepare(path); });
}

void TJobDriver::StartUpload() {
    if (ended_ || held_) return;
    Launch([this] {
        running_ = true;
        engine_.StartUpload();
    });
    AfterStep();
}

void TJobDriver::RepeatUpload() {
    if (!ended_) Act([this] { engine_.NextUnit(); });
}

void TJobDriver::BackToStart() {
    if (ended_) return;
    Act([this] {
        if (engine_.Writing()) engine_.Stop();
        engine_.BackToStart();
    });
}

void TJobDriver::ToggleCapture() {
    if (!ended_) Act([this] { engine_.ToggleCapture(); });
}

void TJobDriver::Close() {
    if (ended_) return;
    // Only a unit being written has a job to end; anything else just closes.
    if (engine_.Writing()) Act([this] { engine_.Stop(); });
    End(TPortEnd::Finished);
}
