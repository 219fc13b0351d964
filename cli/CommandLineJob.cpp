#include "cli/CommandLineJob.h"

#include <QCoreApplication>
#include <cerrno>
#include <unistd.h>

#include "host/PortDiagnosis.h"
#include "host/StopSignals.h"

namespace {

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

// The words of the station's totals, for one port: a unit counts as loaded or as failed, never both.
std::string LoadedAndFailed(int units, int failed) {
    return std::to_string(units - failed) + " loaded, " + std::to_string(failed) + " failed";
}

int WorseStatus(int a, int b) { return Severity(b) > Severity(a) ? b : a; }

TCliJob::TCliJob(const TJobPlan& plan, TCliView& view, const std::string& programFolder, TStopSignals& stopSignals)
    : plan_(plan), view_(view), driver_(plan, *this, programFolder, stopSignals) {
    view_.SetEnterProceeds(plan.Job == TDriverJob::Factory && !plan.AutoGoOn);
}

TCliJob::~TCliJob() = default;

void TCliJob::Begin() {
    if (OnStoreRecord)
        driver_.SetStoreRecord([this](TJobResult& unit, TJobDriver::TStored stored) { StoreRecord(unit, std::move(stored)); });
    driver_.Begin();
}

// A port fault is diagnosed (lock files, /proc walked for the holder, the system's devices listed)
// by a thread of its own while the record is kept: a station's other ports go on meanwhile, and
// the unit's end is told once both are done.
void TCliJob::StoreRecord(TJobResult& unit, TJobDriver::TStored stored) {
    if (unit.PortFault == TPortFault::None) {
        unit.RecordId = OnStoreRecord(unit, std::move(stored));
        return;
    }
    struct TBoth {
        TJobDriver::TStored Stored;
        int Waiting = 2;
        std::string NotKept;
        void Done() {
            if (--Waiting == 0) Stored(NotKept);
        }
    };
    auto both = std::make_shared<TBoth>();
    both->Stored = std::move(stored);
    auto id = std::make_shared<std::string>();
    diagnoser_.Run([result = unit, folder = driver_.ProgramFolder()] { return DiagnoseResult(result, folder); },
                   [this, both, id](const TPortDiagnosis& d) {
                       diagnosed_.emplace(*id, d);
                       both->Done();
                   });
    *id = unit.RecordId = OnStoreRecord(unit, [both](const std::string& notKept) {
        both->NotKept = notKept;
        both->Done();
    });
}

int TCliJob::Run() {
    OnEnd = [] { QCoreApplication::exit(); };
    Begin();
    if (status_ < 0) QCoreApplication::exec();
    return status_;
}

// ---- what the driver tells ----

void TCliJob::Event(const TJobEvent& event) {
    view_.Event(event);
    std::visit(TOverload{
                   [&](const TPortWaitEvent& e) { PortWait(e); },
                   [&](const TNextUnitEvent&) { view_.Note("waiting for the next unit"); },
                   [&](const TAwaitingEvent& e) {
                       if (e.Step == TOperatorStep::FitJumpers && !plan_.AutoGoOn) AskToProceed();
                       if (e.Step == TOperatorStep::UnitId && OnAwaitUnitId) OnAwaitUnitId();
                   },
                   [&](const TUnitEndedEvent& e) { UnitEnded(e); },
                   [&](const TPortEndEvent& e) { PortEnded(e); },
                   [](const auto&) {},
               },
               event);
}

void TCliJob::PortWait(const TPortWaitEvent& wait) {
    switch (wait.Why) {
    case TPortWait::NotThereYet:
        return view_.Note("waiting up to " + std::to_string(wait.Seconds) + " s for " + plan_.Name);
    case TPortWait::Gone: return view_.Note(plan_.Name + " is gone: waiting for it to come back");
    case TPortWait::Retrying: return view_.Note("the port did not open: trying again every second");
    }
}

void TCliJob::UnitEnded(const TUnitEndedEvent& ended) {
    const TJobResult& result = ended.Result;
    const TCliVerdict verdict = CliVerdict(result, driver_.StopSignal());
    if (!ended.Counted) {
        // A port still waiting for its unit: nothing to record or count, but a stop that ends the
        // port while it waits is how the port ended.
        if (!ended.More) {
            last_ = verdict;
            lastReason_ = result.Reason;
            worst_ = WorseStatus(worst_, verdict.Status);
        }
        return;
    }
    if (plan_.Job == TDriverJob::Prepare && result.Kind == TResultKind::Prepared) PrepareReport(result);
    if (result.Kind == TResultKind::Prepared) prepared_ = result;
    TJobResult shown = result;
    if (OnUnitResult && LeavesRecord(result)) {
        const std::string warning = OnUnitResult(result, verdict);
        if (!warning.empty()) shown.Warnings.push_back(warning);
    }
    // Said of the port on its line, not kept in the record: the record has the ratio itself.
    if (const std::string slow = SlowLinkText(result.WireRatio); !slow.empty()) shown.Warnings.push_back(slow);
    for (const std::string& warning : shown.Warnings) view_.Warning(warning);
    view_.SetResult(shown);
    const bool diagnosed = diagnosed_ && diagnosed_->first == result.RecordId;
    const TPortDiagnosis d = diagnosed ? diagnosed_->second : DiagnoseResult(result, driver_.ProgramFolder());
    diagnosed_.reset();
    view_.SetAdvice(d.Reason, d.Remedy);
    if (plan_.Loop)
        view_.SetTally(LoadedAndFailed(ended.Units, ended.Failed));
    worst_ = WorseStatus(worst_, verdict.Status);
    last_ = verdict;
    lastReason_ = result.Kind == TResultKind::Prepared ? std::string() : result.Reason;
    if (!result.UnitVersion.empty()) unitVersion_ = result.UnitVersion;
    if (!ended.More) return;
    endWord_ = verdict.Word;
    endReason_ = result.Reason;
    view_.Result(verdict.Status, verdict.Word, result.Reason);
    // The port is held for the lost record; nobody here can answer for the next unit.
    if (!ended.NotKept.empty()) driver_.Abandon(ended.NotKept);
}

void TCliJob::PortEnded(const TPortEndEvent& end) {
    switch (end.Why) {
    case TPortEnd::Finished: return Done(plan_.Loop ? worst_ : last_.Status, last_.Word, lastReason_, nullptr, last_.Status);
    case TPortEnd::CaptureFailed: return Done(Exit::Usage, "capture file cannot be written", end.Reason);
    case TPortEnd::InputEnded: return Done(Exit::Interrupted, "stopped", end.Reason);
    case TPortEnd::NoUnitId:
        // The ids have run out, as a line's input does at the end of its day: a normal end, whose
        // status is what the port's units came to. No unit was started, so no result is told.
        return Done(worst_, "ended waiting for a unit id", end.Reason, "no_unit_id");
    case TPortEnd::RecordLost:
        return Done(WorseStatus(worst_, Exit::NotRecorded), "stopped", end.Reason, "record_not_kept");
    }
}

void TCliJob::PrepareReport(const TJobResult& result) {
    view_.Note("Blocks: " + std::to_string(result.BlockCount));
    view_.Note("Checksum: " + result.FileChecksum);
    for (const std::string& file : result.FilesWritten) view_.Note("Written: " + file);
}

// ---- the factory job's Proceed ----

void TCliJob::AskToProceed() {
    // The power-on prompt has said to press Enter.
    if (!stdin_) {
        stdin_ = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(stdin_.get(), &QSocketNotifier::activated, &context_, [this] { ReadEnter(); });
    }
    stdin_->setEnabled(true);
}

void TCliJob::ReadEnter() {
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        stdin_->setEnabled(false);
        return driver_.Abandon("no Enter before the end of input; nothing was sent to the unit");
    }
    if (std::string(buffer, static_cast<size_t>(n)).find('\n') == std::string::npos) return;
    stdin_->setEnabled(false);
    driver_.GoOn();
}

void TCliJob::Done(int status, const std::string& result, const std::string& reason, const char* portEnd, int shown) {
    if (status_ >= 0) return;
    status_ = status;
    endWord_ = result;
    endReason_ = reason;
    if (stdin_) stdin_->setEnabled(false);
    if (!portEnd) view_.Result(shown >= 0 ? shown : status, result, reason);
    else view_.PortEnd(status, result, reason, portEnd);
    if (OnEnd) OnEnd();
}
