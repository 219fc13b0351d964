// Unit ids from standard input (--scan): a barcode scanner, or the line's own software, types one
// line a unit, "PORT ID", and the id goes with that port's next unit into its record. A label
// scanned twice is a mistake on the line: the second time it is refused, never recorded twice.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/UnitIds.h"

class TCliJob;

class TUnitIdScan {
public:
    struct TPort {
        int ComPort = 0;           // COM n, 0 for a device
        std::vector<std::string> Names;  // the device as given, as opened, as the output names it
        TCliJob* Job = nullptr;
    };
    // `say(port, text)` tells the operator about a line (port -1: no port of the station).
    TUnitIdScan(std::vector<TPort> ports, std::function<void(int port, const std::string& text)> say);
    ~TUnitIdScan();

    void Start();
    // Standard input has ended: no id comes any more.
    bool Ended() const { return ended_; }
    // One line as typed; public for the tests.
    void Take(const std::string& line);
    // The unit of `id` failed: it may come back under its id to be loaded again.
    void UnitFailed(const std::string& id) { used_.Failed(id); }

private:
    void Read();
    void TooLong();
    int PortOf(const std::string& line, size_t& idStart) const;

    std::vector<TPort> ports_;
    std::function<void(int, const std::string&)> say_;
    TUnitIdRegister used_;
    QObject context_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string pending_;  // a line not yet ended
    bool skipping_ = false;  // within a line refused as too long, until its end
    bool ended_ = false;
};
