// The engine's tests run both jobs against the simulated MXR-2 in process: the engine's real link,
// framing and reply waits run, and only the port's bytes are faked. Time is virtual: a test steps
// the 50 ms ticks and the unit's replies arrive at the moments the line would carry them, so a
// whole upload runs in milliseconds.
#pragma once

#include <cctype>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/Progress.h"
#include "engine/Sequencer.h"
#include "engine/UnitPort.h"
#include "tests/support/TempDir.h"
#include "Options.h"
#include "OutQueue.h"
#include "Unit.h"

class FakeUnitPort : public TUnitPort {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    explicit FakeUnitPort(const SimOptions& options);

    int Port() const override { return port_; }
    void SetPort(int port) override { port_ = port; }
    int Baudrate() const override { return baud_; }
    void SetBaudrate(int baud) override;
    bool Active() const override { return active_; }
    void SetActive(bool active) override;
    void AbortRx() override {}
    void AbortTx() override {}
    int ReadString(std::string& s) override;
    void WriteString(const std::string& s) override;
    void WriteChar(char c) override { WriteString(std::string(1, c)); }
    std::string ErrorText() const override { return error_; }
    int ErrorCode() const override { return errorCode_; }
    int LowLatencyRefused() const override { return LowLatencyError; }
    bool LineLost() const override { return lineLost_; }
    std::string DisplayName() const override { return "Com " + std::to_string(port_); }

    // Runs the unit and the line up to `t`, announcing each arrival; then the clock stands at `t`.
    void AdvanceTo(TimePoint t);
    TimePoint Now() const override { return now_; }
    Unit& Model() { return unit_; }
    std::string Flash() const { return std::string(unit_.Flash().begin(), unit_.Flash().end()); }
    // Everything the program sent, in order.
    const std::string& Sent() const { return sent_; }
    // Bytes that arrive at every tick between the unit's lines (a chattering line).
    std::string Chatter;
    // No unit is switched on at the line's end: what the program sends reaches nobody.
    bool Empty = false;
    // A unit is put on the line and switched on (the next board of a line).
    void PutUnitOn() {
        Empty = false;
        unit_.PowerCycle(now_);
    }
    // The open fails with this reason (errno text) and errno when set.
    std::string OpenFailure;
    int OpenError = 0;
    int LowLatencyError = 0;  // the driver refuses low latency with this errno

private:
    SimOptions opt_;
    OutQueue out_;
    Unit unit_;
    TimePoint now_;
    TimePoint heardUntil_;
    std::string rx_, sent_, error_;
    int port_ = 1, baud_ = 9600, errorCode_ = 0;
    bool active_ = false, lineLost_ = false;
};

// A listener that remembers what it was told, as the window would show it, and every fact in
// order, for assertions.
struct RecordingView : TEngineListener {
    std::map<TLine, std::string> lines;
    std::map<TLine, TColour> colours;
    std::set<TOffer> offered;
    std::vector<std::string> history, messages, warnings;
    std::vector<TJobResult> results;   // every job's end, but a preparation that succeeded
    std::vector<TJobResult> prepared;  // the preparations that succeeded
    std::vector<TStage> stages;
    std::vector<TOperatorStep> awaited;
    std::vector<int32_t> states;
    int gaugeValue = 0, gaugeMax = 0;
    bool captureOn = false;

    void Event(const TEngineEvent& event) override;
    std::string Line(TLine l) const {
        auto i = lines.find(l);
        return i == lines.end() ? std::string() : i->second;
    }
    bool HistoryHas(const std::string& line) const;
    void HistoryReplaceLast(const std::string& line) {
        if (history.empty()) history.push_back(line);
        else history.back() = line;
    }
};

// The engine, its recording view and the fake unit, in a program folder of their own; the test
// steps 50 ms ticks of virtual time.
class EngineRig {
public:
    // The engine's program folder is a folder of its own, or `programFolder` (rigs that share one).
    explicit EngineRig(SimOptions options = {}, const std::string& programFolder = {});

    TSequencer& E() { return engine; }
    // One tick: the line runs for 50 ms of virtual time (arrivals answered at once), then the
    // engine's tick.
    void Tick();
    // Ticks until the sequencer is idle or `maxTicks` have passed; returns the ticks used, or -1.
    long RunUntilIdle(long maxTicks = 200000);
    // Opens the port as "&Software Upload" does; true when the port report says it is open.
    bool OpenPort(const std::string& port = "1", const std::string& baud = "38400");
    // Writes `content` as `name` in the home folder, chooses it and runs the preparation.
    bool Prepare(const std::string& name, const std::string& content);
    // Start Upload, then runs until idle; the ticks taken.
    long Upload();
    // The factory job: open, Proceed, run until idle.
    long Factory(const std::string& port = "1");
    std::string Folder() const { return folder.Path() + "/"; }
    std::string Home() const { return home.Path() + "/"; }
    long Ticks() const { return ticks_; }

    TempDir folder, home;
    FakeUnitPort port;
    RecordingView view;
    TSequencer engine;

private:
    long ticks_ = 0;
};

// The simulated unit's switches, set by `set` (for tables of cases).
inline SimOptions With(const std::function<void(SimOptions&)>& set) {
    SimOptions o;
    set(o);
    return o;
}

// A table case's name as a test name: what is not a letter or digit becomes '_'.
template <class Info>
std::string CaseName(const Info& info) {
    std::string n = info.param.name;
    for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
}
