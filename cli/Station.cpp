#include "cli/Station.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "cli/StationBoard.h"
#include "driver/StationRun.h"
#include "cli/UnitIdScan.h"
#include "driver/Recipe.h"
#include "base/ShownText.h"
#include "firmware/UploadFile.h"
#include "host/Ports.h"
#include "host/StopSignals.h"

namespace {

void Out(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

TCliStation::TCliStation(const TStationPlan& plan, std::vector<TJobPlan> ports, bool scan, std::string programFolder,
                         TCliView::TMode mode)
    : plan_(plan), ports_(std::move(ports)), scanIds_(scan), programFolder_(std::move(programFolder)), mode_(mode),
      runId_(NewStationRunId()) {}

TCliStation::~TCliStation() = default;

int TCliStation::Run() { return plan_.Station() ? RunStation() : RunSingle(); }

int TCliStation::RunSingle() {
    TCliView view(mode_, plan_.Job == TDriverJob::Factory);
    view.SetRecipeKeyId(plan_.RecipeKeyId);
    TStopSignals stops;
    TCliJob job(ports_.front(), view, programFolder_, stops);
    Attach(job, ports_.front().Name);
    // Once the loop turns, the job's port has been set up.
    QTimer::singleShot(0, [this] { service_.Ready(ServiceStatus()); });
    return job.Run();
}

// The file is prepared once, in memory, by an engine of its own, and every port sends that upload
// for every unit: no file is read again during the run, so a file replaced meanwhile changes
// nothing, and nothing is written beside the firmware (an operator may only read its folder).
bool TCliStation::PrepareOnce(TStopSignals& stops, int& status) {
    if (plan_.Job != TDriverJob::Upload) return true;
    TJobPlan file = ports_.front();
    file.Job = TDriverJob::Prepare;
    file.Capture = false;
    file.PrepareInMemory = true;
    TCliView view(mode_ == TCliView::TMode::Json ? mode_ : TCliView::TMode::Pipe, false);
    view.SetUnit("prepare", nullptr, 0);
    TCliJob job(file, view, programFolder_, stops);
    status = job.Run();
    if (status != Exit::Success) return false;
    // Every unit's record names the file as it was prepared: the file may change during a long run,
    // and a record must not name bytes its unit never got.
    input_ = StationInputOf(*job.Prepared(), job.PreparedUpload());
    input_.File = file.FilePath;
    // A recipe pins the firmware: what was prepared must be the bytes it names, whatever changed
    // since the file was checked.
    if (const std::string mismatch = PinMismatch(plan_, input_.Sha256); !mismatch.empty()) {
        std::fprintf(stderr, "zupflshc: the firmware '%s' changed while it was prepared: %s\n",
                     ShownText(file.FilePath).c_str(), mismatch.c_str());
        status = Exit::Usage;
        return false;
    }
    for (TJobPlan& port : ports_) port.Prepared = input_.Upload;
    return true;
}

int TCliStation::RunStation() {
    TStopSignals stops;
    int status = Exit::Success;
    if (!PrepareOnce(stops, status)) return status;
    std::vector<std::string> names;
    for (const TJobPlan& port : ports_) names.push_back(port.Name);
    std::unique_ptr<TStationBoard> board;
    if (mode_ == TCliView::TMode::Terminal) board = std::make_unique<TStationBoard>(names);
    std::vector<std::unique_ptr<TCliView>> views;
    std::vector<std::unique_ptr<TCliJob>> jobs;
    size_t running = ports_.size();
    bool looping = false;
    for (size_t i = 0; i < ports_.size(); ++i) {
        const TJobPlan& port = ports_[i];
        views.push_back(std::make_unique<TCliView>(mode_, plan_.Job == TDriverJob::Factory));
        views.back()->SetRecipeKeyId(plan_.RecipeKeyId);
        views.back()->SetUnit(port.Name, board.get(), i);
        jobs.push_back(std::make_unique<TCliJob>(port, *views.back(), programFolder_, stops));
        Attach(*jobs.back(), port.Name);
        jobs.back()->OnEnd = [&] {
            if (--running == 0 && looping) QCoreApplication::exit();
        };
    }
    scan_ = StartScan(jobs, views);
    std::unique_ptr<TStationControl> control = StartControl(jobs, views, status);
    if (status != Exit::Success) return status;
    const auto begin = [&jobs] {
        for (auto& job : jobs) job->Begin();
    };
    if (control && control_.Hold) control->Hold(begin);
    else begin();
    service_.Ready(ServiceStatus());  // every port's driver started, or held for the socket's start
    looping = true;
    if (OnReady) OnReady();
    if (running > 0) QCoreApplication::exec();
    if (control && control->StoppedHeld()) status = Exit::Interrupted;
    if (board) board->Close();
    service_.Stopping();
    for (const auto& job : jobs)
        if (job->Ended()) status = WorseStatus(status, job->Status());
    // The ports' views outlive the control: what a port still says as it is let go goes nowhere else.
    for (const auto& view : views) view->Tee(nullptr);
    control.reset();
    scan_.reset();
    Summary(jobs, views);
    return status;
}

// --scan: ids from standard input go to the ports they name; a port held for an id after the input
// ended ends there.
std::unique_ptr<TUnitIdScan> TCliStation::StartScan(const std::vector<std::unique_ptr<TCliJob>>& jobs,
                                                    const std::vector<std::unique_ptr<TCliView>>& views) {
    // The control socket gives ids by the same names and the same rules, with or without --scan.
    if (!scanIds_ && control_.Address.empty()) return nullptr;
    std::vector<TUnitIdScan::TPort> ports;
    for (size_t i = 0; i < jobs.size(); ++i) {
        const TJobPlan& port = ports_[i];
        const std::string opened = PortDevice(programFolder_, port.Port, port.Device);
        ports.push_back({port.Device.empty() ? port.Port : 0, {port.Name, plan_.Ports[i].Device, port.Device},
                         jobs[i].get(), opened});
    }
    auto scan = std::make_unique<TUnitIdScan>(std::move(ports), [this, &views](int port, const std::string& text) {
        if (port >= 0) return views[static_cast<size_t>(port)]->Warning(text);
        TCliView station(mode_ == TCliView::TMode::Json ? mode_ : TCliView::TMode::Pipe, false);
        station.Warning("scan: " + text);
    });
    for (const auto& job : jobs)
        job->OnAwaitUnitId = [scan = scan.get(), job = job.get()] {
            if (scan->Ended())
                QTimer::singleShot(0, [job] { job->Abandon("standard input ended: no more unit ids"); });
        };
    if (scanIds_) scan->Start();
    return scan;
}

// --control: the station listens before any port starts; an address it cannot take ends the run.
std::unique_ptr<TStationControl> TCliStation::StartControl(const std::vector<std::unique_ptr<TCliJob>>& jobs,
                                                           const std::vector<std::unique_ptr<TCliView>>& views,
                                                           int& status) {
    if (control_.Address.empty()) return nullptr;
    std::vector<TStationControl::TPort> ports;
    for (size_t i = 0; i < jobs.size(); ++i)
        ports.push_back({views[i]->Unit(), PortDevice(programFolder_, ports_[i].Port, ports_[i].Device)});
    auto control = std::make_unique<TStationControl>(plan_, input_, *scan_, std::move(ports), [this] { return tally_; });
    TControlAddress address;
    std::string error;
    if (!ParseControlAddress(control_.Address, address, error) || !control->Listen(address, control_.TokenFile, error)) {
        std::fprintf(stderr, "zupflshc: %s\n", error.c_str());
        status = Exit::Usage;
        return nullptr;
    }
    for (size_t i = 0; i < views.size(); ++i) views[i]->Tee(&control->View(i));
    std::fprintf(stderr, "zupflshc: control: listening at %s\n", ShownText(control->Address()).c_str());
    std::fflush(stderr);
    return control;
}

void TCliStation::Attach(TCliJob& job, const std::string& unit) {
    job.OnUnitResult = [this](const TJobResult& r, const TCliVerdict& v) { return Record(r, v); };
    if (!OnStoreRecord) return;
    job.OnStoreRecord = [this, unit](const TJobResult& result, TJobDriver::TStored stored) {
        if (input_.File.empty()) return OnStoreRecord(result, unit, runId_, std::move(stored));
        TJobResult named = result;
        NameStationInput(named, input_);
        return OnStoreRecord(named, unit, runId_, std::move(stored));
    };
}

std::string TCliStation::Record(const TJobResult& result, const TCliVerdict& verdict) {
    if (result.Kind == TResultKind::PortFailed) tally_.PortsClosed += 1;
    else if (verdict.Status == Exit::Success) tally_.Loaded += 1;
    else tally_.Failed += 1;
    if (scan_ && !result.UnitId.empty() && verdict.Status != Exit::Success) scan_->UnitFailed(result.UnitId);
    service_.Status(ServiceStatus());
    return {};
}

std::string TCliStation::ServiceStatus() const {
    return std::to_string(tally_.Loaded) + " loaded, " + std::to_string(tally_.Failed) + " failed, " +
           std::to_string(ports_.size()) + (ports_.size() == 1 ? " port" : " ports");
}

void TCliStation::Summary(const std::vector<std::unique_ptr<TCliJob>>& jobs,
                          const std::vector<std::unique_ptr<TCliView>>& views) {
    QJsonArray units;
    std::string text = "Summary:\n";
    for (size_t i = 0; i < jobs.size(); ++i) {
        const TCliJob& job = *jobs[i];
        std::string line = views[i]->Unit() + ": " + job.EndWord();
        if (!job.EndReason().empty() && job.Status() != Exit::Success) line += ": " + ShownText(job.EndReason());
        if (plan_.Loop)
            line += " (" + LoadedAndFailed(job.Units(), job.FailedUnits()) + ")";
        if (!job.UnitVersion().empty()) line += ", unit software " + ShownText(job.UnitVersion());
        text += "  " + line + "\n";
        units.append(QJsonObject{{"unit", QString::fromStdString(views[i]->Unit())},
                                 {"status", job.Status()},
                                 {"result", QString::fromStdString(job.EndWord())},
                                 {"reason", QString::fromUtf8(ShownText(job.EndReason()).c_str())},
                                 {"unit_version", QString::fromLatin1(job.UnitVersion().c_str())}});
    }
    std::string totals = std::to_string(tally_.Loaded) + (tally_.Loaded == 1 ? " unit" : " units") + " loaded, " +
                         std::to_string(tally_.Failed) + " failed";
    if (tally_.PortsClosed > 0)
        totals += ", " + std::to_string(tally_.PortsClosed) + (tally_.PortsClosed == 1 ? " port" : " ports") +
                  " did not open";
    if (mode_ != TCliView::TMode::Json) return Out(text + totals + "\n");
    const QJsonObject event{{"event", "summary"},
                            {"unit", ""},
                            {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                            {"units", units},
                            {"loaded", tally_.Loaded},
                            {"failed", tally_.Failed},
                            {"ports_not_open", tally_.PortsClosed}};
    Out(QJsonDocument(event).toJson(QJsonDocument::Compact).toStdString() + "\n");
}
