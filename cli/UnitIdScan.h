// Unit ids from standard input (--scan): a barcode scanner, or the line's own software, types one
// line a unit, "PORT ID", and the id goes with that port's next unit into its record. A label
// scanned twice is a mistake on the line: the second time it is refused, never recorded twice.
// PORT is the port's position in the station (1 to N, as the summary lists them; "#n" for the
// position alone), its COM n ("COM 3", "COM3", or a bare 3), its name as given or as the output shows
// it, or any path leading to its device (a /dev/serial/by-path or by-id name). A bare number that is
// one port's position and another's COM n is refused: the line must say which.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/UnitIds.h"

class TCliJob;

// "PORT resume" resumes a port paused for its failures in a row.
constexpr const char* kResumeWord = "resume";

class TUnitIdScan {
public:
    struct TPort {
        int ComPort = 0;           // COM n, 0 for a device
        std::vector<std::string> Names;  // the device as given, as opened, as the output names it
        TCliJob* Job = nullptr;
        std::string Device;        // the path the port opens (COM n's entry); a path leading to it names it
    };
    // The port a line names, where its id starts, or why it names none (Port -1).
    struct TNamed {
        int Port = -1;
        size_t IdStart = 0;
        std::string Refusal;
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
    // The port a line (trimmed) names; public for the tests.
    TNamed Named(const std::string& line) const;
    // The port `name` names as a line's port would (a control request names it apart from the id):
    // its position, or -1 with `refusal`.
    int PortNamed(const std::string& name, std::string& refusal) const;
    // `id` for port `port`'s next unit, checked and claimed as a scanned one: "" when given,
    // otherwise why not.
    std::string Give(int port, const std::string& id);
    // A port's job (the station's control reaches the ports by the names the scanner takes).
    TCliJob& Job(int port) const { return *ports_[static_cast<size_t>(port)].Job; }

private:
    void Read();
    void TooLong();
    void Resume(int port);
    int ByName(const std::string& line, size_t& idStart) const;
    TNamed ByNumber(const std::string& word) const;
    int ByDevice(const std::string& word) const;
    std::string NamesTaken() const;

    std::vector<TPort> ports_;
    std::function<void(int, const std::string&)> say_;
    TUnitIdRegister used_;
    QObject context_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string pending_;  // a line not yet ended
    bool skipping_ = false;  // within a line refused as too long, until its end
    bool ended_ = false;
};
