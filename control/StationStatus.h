// A station's ports as their JSON events tell them: what each is doing, its last unit and its
// notice, and the station's first-pass yield: the parts of a `status` reply that the command line's
// station and the station window word alike.
#pragma once

#include <QJsonObject>
#include <set>
#include <string>
#include <vector>

struct TStationInput;
struct TStationPlan;

class TStationStatus {
public:
    // The firmware part of a status: the file (the plan's until it is read), its SHA-256, size,
    // blocks and checksum, the baud, and the recipe when there is one.
    static QJsonObject Firmware(const TStationInput& input, const TStationPlan& plan);

    // Port `port` (counted from 0; the ports grow as they are seen) told `event`.
    void Seen(size_t port, const QJsonObject& event);
    // Its stage, what it awaits, block n of m, paused, its last unit's result, reason and id, and
    // "notice" when it has one (paused after failures in a row, a slow link).
    QJsonObject Port(size_t port) const;
    // A pause asked for that the port has not reached yet (it finishes its unit first).
    void AskedToPause(size_t port, bool asked);
    bool PauseAsked(size_t port) const { return port < states_.size() && states_[port].PauseAsked; }
    // "units" (a unit given its id again after a failure is the same unit) and "first_pass_yield"
    // (null before any unit) added to `totals`.
    void AddYield(QJsonObject& totals) const;

private:
    struct TState {
        std::string Stage, Awaiting, Result, Reason, UnitId, Paused, SlowLink;
        int Block = 0, Of = 0;
        bool PauseAsked = false;
    };
    TState& At(size_t port);

    std::vector<TState> states_;
    int units_ = 0, firstPass_ = 0;
    std::set<std::string> failedIds_;
};
