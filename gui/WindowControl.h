// The station window as its control socket sees it: the tiles by their short names, the window's
// Start and Stop without a box on the screen, a tile's pause, resume and id queue, and every event
// of every port in the JSON that the command line's --json prints.
#pragma once

#include <QJsonObject>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "control/ControlServer.h"
#include "control/StationStatus.h"
#include "driver/EventJson.h"

class TStationTile;
class TStationWindow;

class TWindowControl : public TControlledStation {
public:
    explicit TWindowControl(TStationWindow& window);
    ~TWindowControl() override;

    bool Listen(const TControlAddress& address, const std::string& tokenFile, std::string& error);
    std::string Address() const { return server_.Address(); }

    QJsonObject Status() const override;
    std::string Start() override;
    std::string Stop(bool force) override;
    std::string Pause(const std::string& port, bool pause) override;
    std::string GiveUnitId(const std::string& port, const std::string& id) override;

private:
    struct TWatched {
        QPointer<TStationTile> Tile;
        size_t Number;  // the tile's place in status_, which outlives a removed tile's
        TEventJson Json{false};
    };
    void Watch(TStationTile& tile);
    void Seen(TWatched& watched, const TJobEvent& event);
    void Ended(TWatched& watched, const TJobEvent& event);
    const TWatched* Of(const TStationTile& tile) const;
    TStationTile* Named(const std::string& port, std::string& refusal) const;
    QJsonObject PortStatus(const TStationTile& tile) const;

    TStationWindow& window_;
    TStationStatus status_;
    std::vector<std::unique_ptr<TWatched>> watched_;
    TControlServer server_;
    QTimer startAwaited_;  // a start that came while the firmware was read
};
