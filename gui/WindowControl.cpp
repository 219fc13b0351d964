#include "gui/WindowControl.h"

#include <QJsonArray>
#include <cstdio>

#include "base/ShownText.h"
#include "engine/Pace.h"
#include "gui/StationWindow.h"

namespace {

QString Text(const std::string& utf8) { return QString::fromUtf8(utf8.c_str()); }

}  // namespace

TWindowControl::TWindowControl(TStationWindow& window) : window_(window), server_(*this) {
    startAwaited_.setInterval(20);
    startAwaited_.callOnTimeout([this] {
        if (window_.preparing_) return;
        startAwaited_.stop();
        if (const std::string refusal = Start(); !refusal.empty())
            std::fprintf(stderr, "zupflshc: not started: %s\n", refusal.c_str());
    });
    for (TStationTile* tile : window_.Tiles()) Watch(*tile);
    window_.OnNewTile = [this](TStationTile& tile) { Watch(tile); };
    // A port named one way in a status and another in its events would be two ports to the line's
    // software: nothing is answered before the names are final.
    server_.SetReady(window_.PortsNamed());
    window_.OnPortsNamed = [this] { server_.SetReady(true); };
}

TWindowControl::~TWindowControl() {
    window_.OnNewTile = nullptr;
    window_.OnPortsNamed = nullptr;
    for (const auto& w : watched_)
        if (w->Tile) w->Tile->Watch = nullptr;
}

bool TWindowControl::Listen(const TControlAddress& address, const std::string& tokenFile, std::string& error) {
    return server_.Listen(address, tokenFile, error);
}

// The tile's events, after whoever watched it before (a benchmark's clock).
void TWindowControl::Watch(TStationTile& tile) {
    auto watched = std::make_unique<TWatched>();
    watched->Tile = &tile;
    watched->Number = watched_.size();
    TWatched* w = watched.get();
    watched_.push_back(std::move(watched));
    w->Json.SetSink([this, w](const QJsonObject& e) {
        status_.Seen(w->Number, e);
        server_.Publish(e);
    });
    tile.Watch = [this, w, before = std::move(tile.Watch)](const TJobEvent& event) {
        if (before) before(event);
        Seen(*w, event);
    };
}

void TWindowControl::Seen(TWatched& watched, const TJobEvent& event) {
    TEventJson& json = watched.Json;
    // The short name may have changed since the tile was made (the ports were listed).
    json.SetUnit(watched.Tile->ShortName().toStdString());
    json.Event(event);
    Ended(watched, event);
}

// A unit's result and a port's end, as the command line's station tells them.
void TWindowControl::Ended(TWatched& watched, const TJobEvent& event) {
    TEventJson& json = watched.Json;
    if (const auto* unit = std::get_if<TUnitEndedEvent>(&event); unit && unit->Counted) {
        TJobResult shown = unit->Result;
        if (const std::string slow = SlowLinkText(shown.WireRatio); !slow.empty()) shown.Warnings.push_back(slow);
        for (const std::string& warning : shown.Warnings) json.Warning(warning);
        json.SetResult(shown);
        const TCliVerdict verdict = CliVerdict(shown);
        json.Result(verdict.Status, verdict.Word, shown.Reason);
    } else if (const auto* end = std::get_if<TPortEndEvent>(&event)) {
        // The ends --json tells apart; a port that finished or was stopped told its last result.
        if (end->Why == TPortEnd::NoUnitId)
            json.PortEnd(watched.Tile->Failed() > 0 ? Exit::Failed : Exit::Success, end->Reason, "no_unit_id");
        else if (end->Why == TPortEnd::RecordLost)
            json.PortEnd(Exit::NotRecorded, end->Reason, "record_not_kept");
    }
}

const TWindowControl::TWatched* TWindowControl::Of(const TStationTile& tile) const {
    for (const auto& w : watched_)
        if (w->Tile == &tile) return w.get();
    return nullptr;
}

QJsonObject TWindowControl::PortStatus(const TStationTile& tile) const {
    const TWatched* w = Of(tile);
    QJsonObject port = w ? status_.Port(w->Number) : QJsonObject{};
    const QJsonObject own{{"name", tile.ShortName()},
                          {"device", Text(ShownText(tile.Port().Device.empty() ? tile.Port().Name : tile.Port().Device))},
                          {"identity", tile.IdentityText()},
                          {"running", tile.Running()},
                          {"writing", tile.Writing()},
                          {"paused", tile.Paused()},
                          {"result_text", tile.ResultText()},
                          {"units", tile.Loaded() + tile.Failed()},
                          {"loaded", tile.Loaded()},
                          {"failed", tile.Failed()},
                          {"stopped", tile.Stopped()}};
    for (auto f = own.begin(); f != own.end(); ++f) port.insert(f.key(), f.value());
    return port;
}

QJsonObject TWindowControl::Status() const {
    const QJsonObject firmware = TStationStatus::Firmware(window_.Firmware(), window_.setup_);
    QJsonArray ports;
    for (const TStationTile* tile : window_.Tiles()) ports.append(PortStatus(*tile));
    // The header's figures: what the operator reads on the window is what the line is told.
    const auto& t = window_.totals_;
    QJsonObject totals{{"loaded", t.Loaded}, {"failed", t.Failed}, {"stopped", t.Stopped}, {"units", t.Loaded + t.Failed}};
    totals.insert("first_pass_yield",
                  t.FirstTries > 0 ? QJsonValue(static_cast<double>(t.FirstPassLoaded) / t.FirstTries) : QJsonValue());
    QJsonObject status{{"job", "upload"},
            // Held: the ports wait for a start (the firmware may be read meanwhile).
            {"held", !window_.running_ && !window_.startAfterPreparing_ && !startAwaited_.isActive()},
            {"running", window_.running_},
            {"firmware", firmware},
            {"ports", ports},
            {"totals", totals}};
    // What the window said last in a box, for whoever drives it from afar.
    if (!window_.Messages.empty()) status.insert("message", window_.Messages.back());
    return status;
}

// The window's Start; what would have been a message box on the screen is the refusal.
std::string TWindowControl::Start() {
    if (window_.running_ || window_.startAfterPreparing_ || startAwaited_.isActive())
        return "the station is running already";
    // The firmware chosen or the recipe opened is still being read (the window's Start is off till
    // then): Start follows once it is, and says on the window what it could not do.
    if (window_.preparing_) {
        startAwaited_.start();
        return {};
    }
    const size_t told = window_.Messages.size();
    const bool boxes = window_.setup_.ModalBoxes;
    window_.setup_.ModalBoxes = false;
    window_.StartClick();
    window_.setup_.ModalBoxes = boxes;
    if (window_.Messages.size() > told) return window_.Messages.back().toStdString();
    return {};
}

// The window's Stop, its question answered by the request: a stop while units are written must say
// "force".
std::string TWindowControl::Stop(bool force) {
    if (startAwaited_.isActive()) {
        startAwaited_.stop();  // the start that waited for the firmware is taken back
        return {};
    }
    if (!window_.Running()) return "the station is not running";
    if (window_.AnyWriting() && !force) {
        std::string writing;
        for (const TStationTile* tile : window_.Tiles())
            if (tile->Writing()) writing += (writing.empty() ? "" : ", ") + tile->ShortName().toStdString();
        return "a unit is being written on " + writing +
               ": stopping now leaves it half-written; give \"force\": true to stop anyway";
    }
    const bool boxes = window_.setup_.ModalBoxes, answer = window_.StopWhileWritingAnswer;
    const size_t asked = window_.Questions.size();
    window_.setup_.ModalBoxes = false;
    window_.StopWhileWritingAnswer = true;
    window_.StopClick();
    window_.setup_.ModalBoxes = boxes;
    window_.StopWhileWritingAnswer = answer;
    window_.Questions.resize(asked);  // the request answered it; nobody at the window was asked
    return {};
}

TStationTile* TWindowControl::Named(const std::string& port, std::string& refusal) const {
    const QString name = Text(port).trimmed();
    std::string names;
    for (TStationTile* tile : window_.Tiles()) {
        if (!name.isEmpty() && (tile->ShortName() == name || Text(tile->Port().Device) == name)) return tile;
        names += (names.empty() ? "" : ", ") + tile->ShortName().toStdString();
    }
    refusal = "'" + ShownText(port) + "' names no port of this station (" + names + ")";
    return nullptr;
}

std::string TWindowControl::Pause(const std::string& port, bool pause) {
    std::string refusal;
    TStationTile* tile = Named(port, refusal);
    if (!tile) return refusal;
    const TWatched* watched = Of(*tile);
    if (!watched) return "'" + ShownText(port) + "' is not watched";
    const size_t at = watched->Number;
    if (pause) {
        tile->Pause();
        status_.AskedToPause(at, !tile->Paused());
        return {};
    }
    if (!tile->Paused() && !status_.PauseAsked(at)) return "'" + ShownText(port) + "' is not paused";
    status_.AskedToPause(at, false);
    tile->Resume();
    return {};
}

std::string TWindowControl::GiveUnitId(const std::string& port, const std::string& id) {
    std::string refusal;
    TStationTile* tile = Named(port, refusal);
    if (!tile) return refusal;
    if (id.empty()) return "unit_id needs the unit's id";
    return tile->GiveUnitId(id);
}
