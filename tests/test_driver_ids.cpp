// The job driver's unit ids, against the in-process unit in virtual time: an id given at any moment
// before a unit answers its wake-up is that unit's, however many wake-ups ran out before it, and
// ids given after the answer wait for the units after it; the window's second try of a failed
// unit under its id.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/ShownText.h"
#include "driver/JobDriver.h"
#include "driver/UnitIds.h"
#include "host/StopSignals.h"
#include "tests/support/FakeUnit.h"
#include "tests/support/Firmware.h"

namespace {

TStopSignals& Stops() {
    static TStopSignals stops;
    return stops;
}

// One port of a loop on the in-process unit, its slot empty at first. `window`: ids are given as
// the station window gives them, through its register of the run's ids.
class LoopPort : public TJobListener {
public:
    LoopPort(bool requireId, bool window, const SimOptions& unit, int pauseAfter = 0) : line_(unit), window_(window) {
        const std::string file = home_.Path() + "/fw.h86";
        WriteWholeFile(file, TestFirmware::Make(6, 5).hex);
        TJobPlan plan;
        plan.FilePath = file;
        plan.Loop = true;
        plan.RequireUnitId = requireId;
        plan.PauseAfterFailures = pauseAfter;
        line_.Empty = true;
        driver_ = std::make_unique<TJobDriver>(plan, *this, folder_.Path() + "/", Stops(), line_);
    }

    // One step of a row; "" when done, else what never came.
    std::string Step(const std::string& step) {
        if (step == "begin") return driver_->Begin(), "";
        if (step == "on") return line_.PutUnitOn(), "";
        if (step == "out") return line_.Empty = true, "";
        if (step.rfind("id:", 0) == 0) return Give(step.substr(3)), "";
        if (step == "resume") return driver_->Resume(), "";
        if (step == "notpaused") return driver_->Paused() ? "it is paused" : "";
        if (step == "still") {
            // Long past a whole upload: a paused port wakes nobody.
            const size_t units = ids_.size();
            for (int tick = 0; tick < 2000; ++tick) {
                line_.AdvanceTo(line_.Now() + std::chrono::milliseconds(50));
                driver_->Tick();
            }
            return ids_.size() == units && driver_->Paused() ? "" : "a unit ran while paused";
        }
        const int runOuts = runOuts_, answers = answers_;
        const size_t units = ids_.size();
        const std::function<bool()> until =
            step == "waking"     ? std::function<bool()>([&] { return awaited_ == TOperatorStep::SwitchUnitOn; })
            : step == "held"     ? std::function<bool()>([&] { return driver_->AwaitsUnitId(); })
            : step == "runout"   ? std::function<bool()>([&] { return runOuts_ > runOuts; })
            : step == "answered" ? std::function<bool()>([&] { return answers_ > answers; })
            : step == "sending"  ? std::function<bool()>([&] { return driver_->Writing() && sent_ > 0; })
            : step == "ended"    ? std::function<bool()>([&] { return ids_.size() > units; })
            : step == "paused"   ? std::function<bool()>([&] { return driver_->Paused(); })
                                 : nullptr;
        if (!until) return "no such step";
        // Past a wake-up that runs out (12.5 s) and a whole upload.
        for (int tick = 0; tick < 2000 && !driver_->Ended(); ++tick) {
            if (until()) return "";
            line_.AdvanceTo(line_.Now() + std::chrono::milliseconds(50));
            driver_->Tick();
        }
        return until() ? "" : "it never came";
    }
    // The ids of the units the port counted, in order.
    const std::vector<std::string>& Ids() const { return ids_; }

private:
    void Give(const std::string& id) {
        if (window_ && register_.Claim(id) == TUnitIdRegister::TClaim::Refused) return;
        driver_->GiveUnitId(id);
    }
    void Event(const TJobEvent& event) override {
        std::visit(TOverload{
                       [&](const TAwaitingEvent& e) { awaited_ = e.Step; },
                       [&](const TUnitAnsweredEvent&) { answers_ += 1; },
                       [&](const TProgressEvent& e) { sent_ = e.Sent; },
                       [&](const TUnitEndedEvent& e) {
                           if (!e.Counted) return void(runOuts_ += 1);
                           ids_.push_back(e.Result.UnitId);
                           if (!e.Result.Succeeded() && !e.Result.UnitId.empty()) register_.Failed(e.Result.UnitId);
                       },
                       [](const auto&) {},
                   },
                   event);
    }

    TempDir folder_, home_;
    FakeUnitPort line_;
    const bool window_;
    TUnitIdRegister register_;
    std::unique_ptr<TJobDriver> driver_;
    TOperatorStep awaited_ = TOperatorStep::None;
    int runOuts_ = 0, answers_ = 0, sent_ = 0;
    std::vector<std::string> ids_;
};

std::string Joined(const std::vector<std::string>& ids) {
    std::string text;
    for (const std::string& id : ids) text += (text.empty() ? "" : " ") + (id.empty() ? "-" : id);
    return text;
}

}  // namespace

// Each row: what happens on the line and what is given, in order ("on": a board is put in its slot
// and switched on, "out": taken out; a loaded board stays deaf to the wake-up until the next is
// on, a failed one answers it again), and the ids the port's units were counted with ("-": none).
TEST(DriverIds, AnIdBelongsToTheUnitThatAnswers) {
    const SimOptions fails = With([](SimOptions& o) { o.failAt = 3; });
    const struct {
        const char* name;
        bool requireId, window;
        SimOptions unit;
        const char* steps;
        const char* ids;
    } rows[] = {
        {"given before the start", false, false, {}, "id:A id:B begin on ended on ended", "A B"},
        {"given during the wake-up", false, false, {}, "begin waking id:A on ended waking id:B on ended", "A B"},
        {"given during a wake-up that runs out", false, false, {}, "begin waking id:A runout on ended", "A"},
        {"given after a wake-up ran out", false, false, {}, "begin runout waking id:A on ended runout id:B on ended",
         "A B"},
        {"given after two wake-ups ran out", false, false, {}, "begin runout runout waking id:A on ended", "A"},
        {"given after the answer", false, false, {}, "begin id:A on answered id:B ended on ended", "A B"},
        {"given during the transfer", false, false, {}, "begin id:A on sending id:B ended on ended", "A B"},
        {"none for the first unit", false, false, {}, "begin on ended id:A on ended", "- A"},
        {"given during a transfer that fails", false, false, fails, "begin id:A on sending id:B ended ended", "A B"},
        {"given after a failure", false, false, fails, "begin id:A on ended id:B ended", "A B"},
        {"required: held until given", true, false, {}, "begin held id:A on ended held id:B on ended", "A B"},
        {"required: given ahead", true, false, {}, "id:A id:B begin on ended on ended", "A B"},
        {"required: given during the wake-up of a unit that has one", true, false, {},
         "begin held id:A waking id:B on ended on ended", "A B"},
        {"required: kept through a wake-up that ran out", true, false, {},
         "begin held id:A runout waking id:B runout on ended on ended", "A B"},
        {"required: given after a failure", true, false, fails, "begin held id:A on ended held id:B ended", "A B"},
        {"window: a failed unit's second try under its id", false, true, fails, "begin id:A on ended id:A ended",
         "A A"},
        {"window: a loaded unit's id is refused for the next", false, true, {}, "begin id:A on ended id:A on ended",
         "A -"},
        {"window: a second try after a wake-up ran out", false, true, fails,
         "begin id:A on ended out runout id:A on ended", "A A"},
        {"window, required: a second try after a wake-up ran out", true, true, fails,
         "begin held id:A on ended held out id:A runout on ended", "A A"},
    };
    for (const auto& row : rows) {
        LoopPort port(row.requireId, row.window, row.unit);
        std::istringstream steps(row.steps);
        for (std::string step; steps >> step;) {
            const std::string missing = port.Step(step);
            ASSERT_EQ(missing, "") << row.name << ": " << step;
        }
        EXPECT_EQ(Joined(port.Ids()), row.ids) << row.name;
    }
}

// Each row: a port whose units fail (each asks for its second block for ever) with its pause
// after failures in a row, and the steps ("paused": it pauses, "still": no unit runs for a long
// while and it stays paused, "notpaused": it is not paused now). Only units that were reached count.
TEST(DriverIds, APortPausesAfterItsUnitsFailedInARowUntilResumed) {
    const SimOptions fails = With([](SimOptions& o) { o.resendForever = 2; });
    const struct {
        const char* name;
        int pauseAfter;
        const char* steps;
    } rows[] = {
        {"three in a row, then resumed", 3, "begin on ended notpaused on ended notpaused on ended paused still resume "
                                            "notpaused on ended notpaused on ended notpaused on ended paused"},
        {"never with 0", 0, "begin on ended on ended on ended on ended notpaused"},
        {"wake-ups nobody answered do not count", 2,
         "begin on ended out runout notpaused runout notpaused on ended paused still"},
    };
    for (const auto& row : rows) {
        LoopPort port(false, false, fails, row.pauseAfter);
        std::istringstream steps(row.steps);
        int at = 0;
        for (std::string step; steps >> step; ++at) ASSERT_EQ(port.Step(step), "") << row.name << ": " << step << " (step " << at << ")";
    }
}

// One rule for every way an id arrives: what could pass for another id in a list is refused.
TEST(DriverIds, AnIdIsPrintableAndAtMost128Characters) {
    const std::vector<std::pair<std::string, bool>> rows = {
        {"MXR2-10420", true},
        {std::string(128, 'A'), true},
        {std::string(129, 'A'), false},
        {"N\xC3\xB8rvane-7", true},                  // a name in the user's language
        {std::string(128, 'A').replace(0, 1, "\xC3\xB8"), true},  // 128 characters, 129 bytes
        {"SN\x1B[2J1", false},                      // ESC
        {"SN\xC2\x85" "1", false},                  // C1 NEL
        {"SN\xE2\x80\x8B" "1", false},              // U+200B zero-width space
        {"SN\xE2\x80\xA8" "1", false},              // U+2028 line separator
        {"\xEF\xBB\xBFSN1", false},                 // a byte-order mark
        {"SN\xFF", false},                          // not UTF-8
    };
    for (const auto& [id, taken] : rows) EXPECT_EQ(UnitIdRefusal(id).empty(), taken) << ShownText(id);
}
