#include "control/StationStatus.h"

#include "base/ShownText.h"
#include "driver/DriverEvents.h"
#include "driver/StationPlan.h"
#include "driver/StationRun.h"
#include "engine/Pace.h"

namespace {

QString Text(const std::string& utf8) { return QString::fromUtf8(utf8.c_str()); }

}  // namespace

QJsonObject TStationStatus::Firmware(const TStationInput& input, const TStationPlan& plan) {
    QJsonObject firmware{{"file", Text(ShownText(input.File.empty() ? plan.Firmware : input.File))},
                         {"sha256", Text(input.Sha256)},
                         {"size", static_cast<qint64>(input.Size)},
                         {"blocks", input.Blocks},
                         {"checksum", Text(input.Checksum)},
                         {"baud", plan.Baud}};
    if (plan.Recipe) {
        firmware.insert("recipe", Text(ShownText(plan.Recipe->Name)));
        firmware.insert("recipe_sha256", Text(plan.Recipe->ContentSha256));
    }
    return firmware;
}

TStationStatus::TState& TStationStatus::At(size_t port) {
    if (port >= states_.size()) states_.resize(port + 1);
    return states_[port];
}

void TStationStatus::Seen(size_t port, const QJsonObject& event) {
    TState& s = At(port);
    const QString kind = event["event"].toString();
    if (kind == "stage") {
        s.Stage = event["stage"].toString().toStdString();
        s.Awaiting.clear();
    } else if (kind == "awaiting") {
        s.Awaiting = event["step"].toString().toStdString();
    } else if (kind == "block") {
        s.Block = event["block"].toInt();
        s.Of = event["of"].toInt();
    } else if (kind == "paused" || kind == "resumed") {
        s.Paused = kind == "paused" ? PausedText(event["failures"].toInt()) : std::string();
        s.PauseAsked = false;
    } else if (kind == "result") {
        s.Result = event["result"].toString().toStdString();
        s.Reason = event["reason"].toString().toStdString();
        s.UnitId = event["unit_id"].toString().toStdString();
        s.Block = s.Of = 0;
        // Only an upload's pace is measured; a result without one leaves the last word standing.
        if (event["job"] == "upload" && event["wire_ratio"].toDouble() > 0)
            s.SlowLink = SlowLinkText(event["wire_ratio"].toDouble());
        const bool loaded = event["status"].toInt() == 0;
        const bool again = !s.UnitId.empty() && failedIds_.count(s.UnitId) > 0;
        if (!again) units_ += 1;
        if (loaded && !again) firstPass_ += 1;
        if (!loaded && !s.UnitId.empty()) failedIds_.insert(s.UnitId);
    }
}

QJsonObject TStationStatus::Port(size_t port) const {
    const TState s = port < states_.size() ? states_[port] : TState{};
    QJsonObject json{{"stage", Text(s.Stage)},
                     {"awaiting", Text(s.Awaiting)},
                     {"block", s.Block},
                     {"of", s.Of},
                     {"paused", !s.Paused.empty()},
                     {"pause_asked", s.PauseAsked},
                     {"last_result", Text(s.Result)},
                     {"last_reason", Text(s.Reason)},
                     {"last_unit_id", Text(s.UnitId)}};
    // Both when both: a slot paused after failures may also be a slow one.
    std::string notice = s.Paused;
    if (!s.SlowLink.empty()) notice += (notice.empty() ? "" : "; ") + s.SlowLink;
    if (!notice.empty()) json.insert("notice", Text(notice));
    return json;
}

void TStationStatus::AskedToPause(size_t port, bool asked) { At(port).PauseAsked = asked; }

void TStationStatus::AddYield(QJsonObject& totals) const {
    totals.insert("units", units_);
    totals.insert("first_pass_yield", units_ > 0 ? QJsonValue(static_cast<double>(firstPass_) / units_) : QJsonValue());
}
