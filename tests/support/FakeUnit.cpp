#include "tests/support/FakeUnit.h"

#include <algorithm>
#include <cerrno>
#include <fstream>

namespace {

constexpr std::chrono::milliseconds kTick{50};

std::chrono::nanoseconds ByteTime(int baud) { return std::chrono::nanoseconds(10'000'000'000LL / std::max(baud, 1)); }

}  // namespace

FakeUnitPort::FakeUnitPort(const SimOptions& options)
    : opt_(options), unit_(opt_, out_, 9600), now_(Clock::now()), heardUntil_(now_) {}

void FakeUnitPort::SetBaudrate(int baud) {
    baud_ = baud;
    unit_.ObserveSpeed(baud, now_);
}

void FakeUnitPort::SetActive(bool active) {
    if (active && !OpenFailure.empty()) {
        error_ = OpenFailure;
        errorCode_ = OpenError;
        active_ = false;
        return;
    }
    active_ = active;
}

int FakeUnitPort::ReadString(std::string& s) {
    s = std::move(rx_);
    rx_.clear();
    return static_cast<int>(s.size());
}

void FakeUnitPort::WriteString(const std::string& s) {
    if (!active_) return;
    sent_ += s;
    if (Empty) return;
    // The unit hears the bytes when the line has carried them.
    heardUntil_ = std::max(heardUntil_, now_) + ByteTime(baud_) * static_cast<long>(s.size());
    unit_.Receive(s, baud_, heardUntil_);
}

void FakeUnitPort::AdvanceTo(TimePoint t) {
    for (;;) {
        if (unit_.VanishRequested()) {
            lineLost_ = true;
            error_ = "Input/output error";
            errorCode_ = EIO;
        }
        std::optional<TimePoint> next;
        for (auto d : {unit_.NextDeadline(), out_.NextDeadline()})
            if (d && (!next || *d < *next)) next = d;
        if (!next || *next > t) break;
        now_ = std::max(now_, *next);
        unit_.Receive({}, baud_, now_);
        unit_.Tick(now_);
        std::string said;
        out_.Flush(said, now_, baud_, true);
        if (said.empty() || !active_ || lineLost_) continue;
        rx_ += said;
        if (OnRxData) OnRxData();
    }
    now_ = t;
    // Chatter comes between the unit's lines, never inside one.
    if (!Chatter.empty() && active_ && out_.Empty()) {
        rx_ += Chatter;
        if (OnRxData) OnRxData();
    }
}

void RecordingView::Event(const TEngineEvent& event) {
    std::visit(TOverload{
                   [&](const TTextEvent& e) { lines[e.Line] = e.Text; },
                   [&](const TStyleEvent& e) { colours[e.Line] = e.Colour; },
                   [&](const TOfferEvent& e) { e.Offered ? (void)offered.insert(e.What) : (void)offered.erase(e.What); },
                   [&](const TProgressEvent& e) {
                       // As the window shows it: the gauge, the activity line and the history's last line.
                       gaugeValue = e.Sent, gaugeMax = e.Total;
                       if (e.Sent <= 0) return;
                       lines[TLine::Activity] = BlockProgressText(e.Sent, e.Total);
                       HistoryReplaceLast(BlockProgressText(e.Sent, e.Total));
                   },
                   [&](const THistoryEvent& e) {
                       if (e.Op == THistoryEvent::TOp::Reset) history = {e.Text};
                       else if (e.Op == THistoryEvent::TOp::Add) history.push_back(e.Text);
                       else HistoryReplaceLast(e.Text);
                   },
                   [&](const TCaptureEvent& e) { captureOn = e.On; },
                   [&](const TMessageEvent& e) { messages.push_back(e.Text); },
                   [&](const TWarningEvent& e) { warnings.push_back(e.Text); },
                   [&](const TResultEvent& e) {
                       (e.Result.Kind == TResultKind::Prepared ? prepared : results).push_back(e.Result);
                   },
                   [&](const TStageEvent& e) { stages.push_back(e.Stage); },
                   [&](const TAwaitingEvent& e) { awaited.push_back(e.Step); },
                   [&](const TStateEvent& e) { states.push_back(e.State); },
                   [](const auto&) {},
               },
               event);
}

bool RecordingView::HistoryHas(const std::string& line) const {
    return std::find(history.begin(), history.end(), line) != history.end();
}

EngineRig::EngineRig(SimOptions options, const std::string& programFolder)
    : port(options), engine(port, view, programFolder.empty() ? Folder() : programFolder) {
}

void EngineRig::Tick() {
    port.AdvanceTo(port.Now() + kTick);
    engine.Tick();
    ++ticks_;
}

long EngineRig::RunUntilIdle(long maxTicks) {
    const long start = ticks_;
    do {
        Tick();
        if (ticks_ - start > maxTicks) return -1;
    } while (engine.UploadState() != State::Idle);
    return ticks_ - start;
}

bool EngineRig::OpenPort(const std::string& p, const std::string& baud) {
    if (!engine.OpenUploadPort(p, baud)) return false;
    RunUntilIdle(100);
    return view.Line(TLine::PortStatus).rfind("Port is open", 0) == 0;
}

bool EngineRig::Prepare(const std::string& name, const std::string& content) {
    std::ofstream(Home() + name, std::ios::binary) << content;
    engine.Guarded([&] { engine.Prepare(Home() + name); });
    if (engine.UploadState() != State::Idle) RunUntilIdle(100);
    return view.offered.count(TOffer::StartRun) > 0;
}

long EngineRig::Upload() {
    engine.StartUpload();
    return RunUntilIdle();
}

long EngineRig::Factory(const std::string& p) {
    engine.OpenFactoryPort(p);
    RunUntilIdle(100);
    if (!view.offered.count(TOffer::GoOn)) return -1;
    engine.GoOn();
    return RunUntilIdle();
}
