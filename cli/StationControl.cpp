#include "cli/StationControl.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <climits>
#include <cstdlib>

#include "base/ShownText.h"
#include "cli/CommandLineJob.h"
#include "cli/UnitIdScan.h"

namespace {

QString Text(const std::string& utf8) { return QString::fromUtf8(utf8.c_str()); }

std::string Resolved(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : std::string();
}

}  // namespace

TStationControl::TStationControl(const TStationPlan& plan, const TStationInput& input, TUnitIdScan& scan,
                                 std::vector<TPort> ports, std::function<TStationTotals()> totals)
    : plan_(plan), input_(input), scan_(scan), ports_(std::move(ports)), totals_(std::move(totals)),
      server_(*this) {
    for (size_t i = 0; i < ports_.size(); ++i) {
        views_.push_back(std::make_unique<TCliView>(TCliView::TMode::Json, plan.Job == TDriverJob::Factory));
        views_.back()->SetUnit(ports_[i].Name, nullptr, 0);
        views_.back()->SetRecipeKeyId(plan.RecipeKeyId);
        views_.back()->SetSink([this, i](const QJsonObject& event) { Seen(i, event); });
    }
}

TStationControl::~TStationControl() = default;

bool TStationControl::Listen(const TControlAddress& address, const std::string& tokenFile, std::string& error) {
    return server_.Listen(address, tokenFile, error);
}

// The port's state as its events tell it, then the event to every subscriber.
void TStationControl::Seen(size_t port, const QJsonObject& event) {
    status_.Seen(port, event);
    server_.Publish(event);
}
QJsonObject TStationControl::PortStatus(size_t i) const {
    const TCliJob& job = scan_.Job(static_cast<int>(i));
    QJsonObject port = status_.Port(i);
    const QJsonObject own{{"name", Text(ports_[i].Name)},
                          {"device", Text(ShownText(ports_[i].Device))},
                          {"device_real", Text(ShownText(Resolved(ports_[i].Device)))},
                          {"writing", job.Writing()},
                          {"ended", job.Ended()},
                          {"units", job.Units()},
                          {"failed", job.FailedUnits()}};
    for (auto f = own.begin(); f != own.end(); ++f) port.insert(f.key(), f.value());
    return port;
}

QJsonObject TStationControl::Status() const {
    const QJsonObject firmware = TStationStatus::Firmware(input_, plan_);
    QJsonArray ports;
    for (size_t i = 0; i < ports_.size(); ++i) ports.append(PortStatus(i));
    const TStationTotals t = totals_();
    QJsonObject totals{{"loaded", t.Loaded}, {"failed", t.Failed}, {"ports_not_open", t.PortsClosed}};
    status_.AddYield(totals);
    return {{"job", plan_.Job == TDriverJob::Factory ? "factory" : "upload"},
            {"held", held_},
            {"firmware", firmware},
            {"ports", ports},
            {"totals", totals}};
}

std::string TStationControl::Start() {
    if (!held_) return "the station is running already";
    held_ = false;
    begin_();
    return {};
}

// A stop interrupts no unit by accident: while one is written, only a stop that says so.
std::string TStationControl::Stop(bool force) {
    if (held_) {
        held_ = false;
        stoppedHeld_ = true;
        QCoreApplication::exit();
        return {};
    }
    std::string writing;
    for (size_t i = 0; i < ports_.size(); ++i)
        if (scan_.Job(static_cast<int>(i)).Writing()) writing += (writing.empty() ? "" : ", ") + ports_[i].Name;
    if (!writing.empty() && !force)
        return "a unit is being written on " + writing + ": stopping now leaves it half-written; give \"force\": true to stop anyway";
    for (size_t i = 0; i < ports_.size(); ++i) {
        TCliJob& job = scan_.Job(static_cast<int>(i));
        if (!job.Ended()) job.Stop();
    }
    return {};
}

int TStationControl::Named(const std::string& port, std::string& refusal) const {
    const int i = scan_.PortNamed(port, refusal);
    if (i >= 0 && scan_.Job(i).Ended()) {
        refusal = "'" + ShownText(port) + "' has ended: it runs no more units";
        return -1;
    }
    return i;
}

std::string TStationControl::Pause(const std::string& port, bool pause) {
    std::string refusal;
    const int i = Named(port, refusal);
    if (i < 0) return refusal;
    if (!plan_.Loop) return "the ports run one unit each: there is no next unit to hold";
    const size_t at = static_cast<size_t>(i);
    TCliJob& job = scan_.Job(i);
    if (pause) {
        if (!job.Paused()) job.Pause();
        status_.AskedToPause(at, !job.Paused());
        return {};
    }
    if (!job.Paused() && !status_.PauseAsked(at)) return "'" + ShownText(port) + "' is not paused";
    status_.AskedToPause(at, false);
    job.Resume();
    return {};
}

std::string TStationControl::GiveUnitId(const std::string& port, const std::string& id) {
    std::string refusal;
    const int i = Named(port, refusal);
    if (i >= 0 && id.empty()) return "unit_id needs the unit's id";
    return i < 0 ? refusal : scan_.Give(i, id);
}
