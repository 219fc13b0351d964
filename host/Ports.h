// The serial ports a technician can reach: what COM1..COM9 open, who holds them, and the serial
// devices present with the line that makes one of them a COM port. Data first, then plain text for
// the window's tooltips and the command line's listing.
#pragma once

#include "host/PortDiagnosis.h"
#include "host/PortSource.h"

#include <functional>
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
    std::string HeldHow;    // the lock file naming that pid, "" when its flock or descriptor showed it
    std::string HeldCommand;  // that process's command name, "" when unknown
};

// A serial device present on the machine, with what this user can do with it.
struct TSerialDevice : TPortInfo {
    int ComNumber = 0;         // the COM n that opens it now, 0 when none does
    int SuggestedCom = 0;      // a free COM n to link it as (only when ComNumber is 0)
    std::string LinkCommand;   // the one shell line making it COM SuggestedCom
    bool Openable = false;     // this user may open it and nobody holds it
    std::string Holder;        // "minicom (pid 812)", "" when free
    TPortDiagnosis Problem;    // why it is not openable, with the remedy
};

struct TPortListing {
    std::string ProgramFolder;            // with a trailing '/'
    std::string ProgramFolderReason;      // why that folder, "" when the caller did not say
    std::vector<TComPort> Com;            // COM1..COM9 in order
    std::vector<TSerialDevice> Devices;   // sorted by path
    std::vector<std::string> Grabbers;    // ModemManager, brltty: those running now
};

// Never opens a device: holders come from LCK.. files in `lockFolder`, the processes' descriptors
// and the kernel's lock table.
TPortListing ListPorts(const std::string& programFolder, const std::string& lockFolder, TPortSource& source);
// The same with the devices QSerialPortInfo finds.
TPortListing ListPorts(const std::string& programFolder, const std::string& lockFolder = "/run/lock/");

// One line about COM n, e.g. "COM3: /home/t/.local/share/zupflshc/COM3 -> /dev/ttyUSB0, in use by
// process 812 (/run/lock/LCK..ttyUSB0)".
std::string ComPortLine(const TComPort& port);
// The tooltip of the port selector and of a "did not open" report: COM `port`'s line, then the
// devices present.
std::string PortTooltipText(const TPortListing& listing, int port);
// The program folder and why, all nine COM ports, the devices present, then the running programs
// that take serial adapters: the command line's `ports`.
std::string PortListingText(const TPortListing& listing);
// One JSON object a line, each with its "kind": first "program_folder" (path, reason), then "com"
// for COM1..COM9 (com, device, linked, target, exists, state "free"/"in use"/"unusable", problem,
// holder_pid, holder_command, holder_lock), then "device" for each serial device (path, by_id, com,
// maker, product, usb_serial, vid, pid (four hex digits, null when not USB), openable, holder,
// reason and remedy when not openable, link_command and suggested_com), then "grabber" for each
// program running that takes serial adapters (name, note). Absent values are null.
std::string PortListingJson(const TPortListing& listing);
// "ln -sfn TARGET FOLDER/COM<n>", each path quoted for the shell where it needs it.
std::string LinkCommand(const std::string& target, const std::string& programFolder, int port);
// The naming of COM ports. COM n is the entry "COM<n>" of the program folder ("" for the
// executable's folder) when it exists (a symbolic link counts even if it dangles, so the operator
// sees why it fails), else /dev/ttyS<n-1>; with linkOnly that entry whether it exists or not.
std::string ComLink(const std::string& programFolder, int com);
std::string ComDevice(const std::string& programFolder, int com, bool linkOnly = false);
// The same as a serial port's rule for its number (TSerial::SetPortRule).
std::function<std::string(int com)> ComRule(const std::string& programFolder, bool linkOnly = false);
// What a port opens: `device` when one was given, else what COM `com` leads to from `programFolder`.
std::string PortDevice(const std::string& programFolder, int com, const std::string& device);
// The device a port reaches once every link is followed: two ports with the same one are one
// device under two names (COM n and its link's target, a device and a link to it), which two
// engines would fight over.
std::string PortDeviceKey(const std::string& programFolder, int com, const std::string& device);

// `--device usb:SERIAL` names an adapter by its USB serial number, `usb:VID:PID` (hexadecimal) by
// its kind when only one of that kind is attached.
bool IsUsbDeviceSpec(const std::string& text);
// The device path `spec` names among what `source` lists. False with `error` naming what is
// attached when no adapter or more than one matches.
bool ResolveUsbDevice(const std::string& spec, TPortSource& source, std::string& path, std::string& error);
