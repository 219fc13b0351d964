// The serial ports a technician can reach: what COM1..COM9 open, who holds them, and the serial
// devices present with the line that makes one of them a COM port. Data first, then plain text for
// the window's tooltips and the command line's listing.
#pragma once

#include <string>
#include <vector>

// What opening COM n opens, and whether it can be had right now.
struct TComPort {
    int Number = 0;
    std::string Device;     // <program folder>COM<n> when that entry exists, else /dev/ttyS<n-1>
    bool Linked = false;    // Device is the COM<n> entry of the program folder
    std::string Target;     // the node it leads to; for a link leading nowhere, what the link says
    bool Exists = false;    // Target is a character device
    std::string Problem;    // why it cannot work as a port ("" when nothing is known against it)
    long HeldBy = 0;        // pid of the program holding it; -1 held by someone unknown; 0 free
    std::string HeldHow;    // the lock file naming that pid, or "flock"
};

// A serial device present on the machine, as QSerialPortInfo reports it.
struct TSerialDevice {
    std::string Path;          // /dev/ttyUSB0
    std::string ById;          // its stable /dev/serial/by-id/... name, "" when it has none
    std::string Manufacturer;  // USB maker, "" when not reported
    std::string Product;       // USB product, or the driver's description
    std::string SerialNumber;
    int ComNumber = 0;         // the COM n that opens it now, 0 when none does
    int SuggestedCom = 0;      // a free COM n to link it as (only when ComNumber is 0)
    std::string LinkCommand;   // the one shell line making it COM SuggestedCom
};

struct TPortListing {
    std::string ProgramFolder;            // with a trailing '/'
    std::vector<TComPort> Com;            // COM1..COM9 in order
    std::vector<TSerialDevice> Devices;   // sorted by path
};

// Never opens a device: holders come from LCK.. files in `lockFolder` and the kernel's lock table.
TPortListing ListPorts(const std::string& programFolder, const std::string& lockFolder = "/run/lock/");

// One line about COM n, e.g. "COM3: /home/t/.local/share/zupflshc/COM3 -> /dev/ttyUSB0, in use by
// process 812 (/run/lock/LCK..ttyUSB0)".
std::string ComPortLine(const TComPort& port);
// The tooltip of the port selector and of a "did not open" report: COM `port`'s line, then the
// devices present.
std::string PortTooltipText(const TPortListing& listing, int port);
// All nine COM ports, then the devices present: the command line's `ports`.
std::string PortListingText(const TPortListing& listing);
// "ln -sfn TARGET FOLDER/COM<n>", each path quoted for the shell where it needs it.
std::string LinkCommand(const std::string& target, const std::string& programFolder, int port);
