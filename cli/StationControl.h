// The command line's station as its control socket sees it: each port's state kept from its JSON
// events (which every subscriber gets), the totals, and the requests carried out on the ports by
// the names the scanner takes.
#pragma once

#include <QJsonObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/CommandLineView.h"
#include "control/ControlServer.h"
#include "control/StationStatus.h"
#include "driver/StationPlan.h"

class TUnitIdScan;

// What a station's units came to so far: the `status` reply's totals, and a service's STATUS= line.
struct TStationTotals {
    int Loaded = 0, Failed = 0, PortsClosed = 0;
};

class TStationControl : public TControlledStation {
public:
    struct TPort {
        std::string Name;    // as the output names it
        std::string Device;  // the device it opens
    };
    // `begin` starts the ports (at once, or at `start` when `hold`); `totals` reads the station's.
    TStationControl(const TStationPlan& plan, const TStationInput& input, TUnitIdScan& scan, std::vector<TPort> ports,
                    std::function<TStationTotals()> totals);
    ~TStationControl() override;

    bool Listen(const TControlAddress& address, const std::string& tokenFile, std::string& error);
    std::string Address() const { return server_.Address(); }
    // The JSON view that port `i`'s own view tells everything it is told.
    TCliView& View(size_t i) { return *views_[i]; }
    // With --hold the ports wait for `start`; `begin` starts them.
    void Hold(std::function<void()> begin) {
        held_ = true;
        begin_ = std::move(begin);
    }
    // `stop` came while the ports were held: nothing ran, the station ends.
    bool StoppedHeld() const { return stoppedHeld_; }

    QJsonObject Status() const override;
    std::string Start() override;
    std::string Stop(bool force) override;
    std::string Pause(const std::string& port, bool pause) override;
    std::string GiveUnitId(const std::string& port, const std::string& id) override;

private:
    void Seen(size_t port, const QJsonObject& event);
    QJsonObject PortStatus(size_t i) const;
    int Named(const std::string& port, std::string& refusal) const;

    const TStationPlan& plan_;
    const TStationInput& input_;
    TUnitIdScan& scan_;
    std::vector<TPort> ports_;
    std::function<TStationTotals()> totals_;
    std::vector<std::unique_ptr<TCliView>> views_;
    TStationStatus status_;
    TControlServer server_;
    bool held_ = false, stoppedHeld_ = false;
    std::function<void()> begin_;
};
