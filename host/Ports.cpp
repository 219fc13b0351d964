#include "host/Ports.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "base/Paths.h"
#include "base/SafeFile.h"
#include "base/ShownText.h"
#include "serial/serial_posix.h"

namespace {

constexpr int kComPorts = 9;
// What the low-latency mode sets an FTDI adapter's timer to; more is the default's slow link.
constexpr int kLowLatencyTimerMs = 1;

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

std::string RealPath(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return {};
    std::string out(real);
    std::free(real);
    return out;
}

bool NeedsQuoting(const std::string& s) {
    if (s.empty()) return true;
    return std::any_of(s.begin(), s.end(), [](unsigned char c) {
        return c == 0 || !(std::isalnum(c) || std::strchr("/._-+:@%=,", c));
    });
}

// An entry `ln -sfn` may replace: none at all, or a link an unplugged adapter left dangling.
bool FreeEntry(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISLNK(st.st_mode) && ::access(path.c_str(), F_OK) != 0;
}

std::string ShellQuoted(const std::string& s) {
    if (!NeedsQuoting(s)) return s;
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

TComPort Inspect(const std::string& folder, int n, const std::string& lockFolder) {
    TComPort p;
    p.Number = n;
    p.Device = ComDevice(folder, n);
    p.Linked = p.Device == ComLink(folder, n);
    if (std::string detail; serialio::CheckComEntry(p.Device, detail) != 0) {
        char buf[PATH_MAX];
        const ssize_t len = ::readlink(p.Device.c_str(), buf, sizeof buf - 1);
        p.Target = len > 0 ? std::string(buf, static_cast<size_t>(len)) : p.Device;
        p.Problem = detail.substr(p.Device.size() + 1);   // "belongs to user ...: not followed; ..."
        return p;
    }
    const std::string real = RealPath(p.Device);
    if (real.empty()) {
        const int err = errno;
        char buf[PATH_MAX];
        ssize_t len = ::readlink(p.Device.c_str(), buf, sizeof buf - 1);
        p.Target = len > 0 ? std::string(buf, static_cast<size_t>(len)) : p.Device;
        p.Problem = std::strerror(err);
        return p;
    }
    p.Target = real;
    struct stat node;
    if (::stat(real.c_str(), &node) != 0) {
        p.Problem = std::strerror(errno);
        return p;
    }
    if (!S_ISCHR(node.st_mode)) {
        p.Problem = "not a serial device";
        return p;
    }
    p.Exists = true;
    const THolder h = FindHolder(p.Device, lockFolder, false);
    if (h.Pid && !h.Stale && !h.Planted) {
        p.HeldBy = h.Pid;
        p.HeldHow = h.LockFile;
        p.HeldCommand = h.Command;
    }
    return p;
}

// Whether this user may open the device and whether someone has it, judged without opening it:
// an open would raise DTR and could reset what hangs on the line.
void JudgeDevice(TSerialDevice& d, const std::string& lockFolder) {
    const THolder h = FindHolder(d.Path, lockFolder, false);
    d.Holder = HolderText(h);
    if (::faccessat(AT_FDCWD, d.Path.c_str(), R_OK | W_OK, AT_EACCESS) != 0)
        d.Problem = DiagnoseOpenFailure({d.Path, errno, 0, "", lockFolder, nullptr});
    else if ((h.Pid && !h.Stale) || h.Planted)
        d.Problem = DiagnoseOpenFailure({d.Path, EBUSY, 0, "", lockFolder, nullptr});
    d.Openable = d.Problem.Fault == TPortFault::None;
}

// What the adapter says of itself: its USB descriptors, which its maker (or anyone) chose.
std::string Describe(const TSerialDevice& d) {
    std::string what;
    for (const std::string* part : {&d.Maker, &d.Product})
        if (!part->empty() && what.find(*part) == std::string::npos) what += (what.empty() ? "" : " ") + *part;
    if (!d.UsbSerial.empty()) what += (what.empty() ? "serial " : ", serial ") + d.UsbSerial;
    return ShownText(what);
}

// A USB adapter's driver holds received bytes for its latency timer: each of the unit's replies
// waits that long at most, which a line of 16 ms a block cycle feels.
std::string DriverLatencyText(const TSerialDevice& d) {
    if (d.LatencyTimerMs < 0) return {};
    std::string text = ", latency timer " + std::to_string(d.LatencyTimerMs) + " ms";
    if (d.LatencyTimerMs > kLowLatencyTimerMs) text += " (replies wait up to that long: see the README on USB adapters)";
    return text;
}

std::string DevicesText(const TPortListing& listing) {
    if (listing.Devices.empty())
        return "No serial devices found (a USB adapter appears as /dev/ttyUSB* or /dev/ttyACM*).\n";
    std::string out = "Serial devices present:\n";
    for (const TSerialDevice& d : listing.Devices) {
        // Every name here comes from the device, its driver or the file system: each is shown
        // with its control characters as <XX>, so that it stays on its own line.
        out += "  " + ShownText(d.Path);
        if (const std::string what = Describe(d); !what.empty()) out += "  " + what;
        out += "\n";
        if (!d.ById.empty()) out += "    " + ShownText(d.ById) + "\n";
        if (!d.Driver.empty()) out += "    driver " + ShownText(d.Driver) + DriverLatencyText(d) + "\n";
        if (!d.Holder.empty()) out += "    in use by " + ShownText(d.Holder) + "\n";
        if (!d.Openable)
            out += "    cannot be opened: " + ShownText(d.Problem.Reason) + "\n    remedy: " + ShownText(d.Problem.Remedy) + "\n";
        if (d.ComNumber) out += "    is COM" + std::to_string(d.ComNumber) + "\n";
        else if (!d.LinkCommand.empty())
            out += "    make it COM" + std::to_string(d.SuggestedCom) + ": " + ShownText(d.LinkCommand) + "\n";
        else out += "    no free COM number to link it as\n";
    }
    return out;
}

}  // namespace

std::string LinkCommand(const std::string& target, const std::string& programFolder, int port) {
    return "ln -sfn " + ShellQuoted(target) + " " + ShellQuoted(WithSlash(programFolder) + "COM" + std::to_string(port));
}

void ReadTtyDriverFacts(const std::string& sysRoot, const std::string& name, TPortInfo& info) {
    // The name comes from a device path: nothing in it may lead elsewhere in sysfs.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return;
    const std::string driver = RealPath(sysRoot + "/class/tty/" + name + "/device/driver");
    if (const auto slash = driver.rfind('/'); slash != std::string::npos) info.Driver = driver.substr(slash + 1);
    std::optional<std::string> timer;
    try {
        timer = ReadSmallFile(sysRoot + "/bus/usb-serial/devices/" + name + "/latency_timer", 32);
    } catch (const std::exception&) {
        return;  // not readable to this user: the listing goes on without it
    }
    if (!timer) return;
    char* end = nullptr;
    const long ms = std::strtol(timer->c_str(), &end, 10);
    if (end != timer->c_str() && ms >= 0 && ms <= 255) info.LatencyTimerMs = static_cast<int>(ms);
}

namespace {

// Device node -> the name a folder of links (/dev/serial/by-id) gives it.
std::map<std::string, std::string> SerialLinks(const QString& folder) {
    std::map<std::string, std::string> links;
    const QFileInfoList names = QDir(folder).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo& name : names)
        if (const QString node = name.canonicalFilePath(); !node.isEmpty())
            links.emplace(node.toStdString(), name.absoluteFilePath().toStdString());
    return links;
}

}  // namespace

std::string ComLink(const std::string& programFolder, int com) {
    std::string base = programFolder.empty() ? ExecutableFolder() : programFolder;
    if (!base.empty() && base.back() != '/') base += '/';
    return base.empty() ? std::string() : base + "COM" + std::to_string(com);
}

std::string ComDevice(const std::string& programFolder, int com, bool linkOnly) {
    const std::string link = ComLink(programFolder, com);
    struct stat st {};
    if (!link.empty() && (linkOnly || ::lstat(link.c_str(), &st) == 0)) return link;
    return "/dev/ttyS" + std::to_string(com - 1);
}

std::function<std::string(int com)> ComRule(const std::string& programFolder, bool linkOnly) {
    return [programFolder, linkOnly](int com) { return ComDevice(programFolder, com, linkOnly); };
}

std::string PortDevice(const std::string& programFolder, int com, const std::string& device) {
    return device.empty() ? ComDevice(programFolder, com) : device;
}

std::string PortDeviceKey(const std::string& programFolder, int com, const std::string& device) {
    const std::string path = PortDevice(programFolder, com, device);
    const std::string real = RealPath(path);
    return real.empty() ? path : real;
}

std::vector<TPortInfo> TSystemPortSource::List() {
    const std::map<std::string, std::string> byId = SerialLinks("/dev/serial/by-id");
    const std::map<std::string, std::string> byPath = SerialLinks("/dev/serial/by-path");
    std::vector<TPortInfo> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        TPortInfo p;
        p.Path = info.systemLocation().toStdString();
        const std::string real = RealPath(p.Path);
        if (auto it = byId.find(real.empty() ? p.Path : real); it != byId.end()) p.ById = it->second;
        if (auto it = byPath.find(real.empty() ? p.Path : real); it != byPath.end()) p.ByPath = it->second;
        p.Maker = info.manufacturer().trimmed().toStdString();
        p.Product = info.description().trimmed().toStdString();
        p.UsbSerial = info.serialNumber().trimmed().toStdString();
        if (info.hasVendorIdentifier()) p.Vid = info.vendorIdentifier();
        if (info.hasProductIdentifier()) p.Pid = info.productIdentifier();
        ReadTtyDriverFacts("/sys", info.portName().toStdString(), p);
        ports.push_back(p);
    }
    return ports;
}

bool TPortSource::Find(const std::string& device, TPortInfo& info) {
    const std::string real = RealPath(device);
    for (const TPortInfo& p : List())
        if (p.Path == device || (!real.empty() && p.Path == real)) {
            info = p;
            return true;
        }
    return false;
}

bool TCachedPortSource::Find(const std::string& device, TPortInfo& info) {
    const std::string real = RealPath(device);
    struct stat st {};
    const bool node = ::stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
    const auto key = std::make_pair(real.empty() ? device : real, node ? st.st_rdev : dev_t(0));
    auto it = known_.find(key);
    if (it == known_.end()) {
        struct stat sys {};
        const std::string hardware = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                     std::to_string(minor(st.st_rdev)) + "/device";
        const bool unlisted = node && ::stat("/sys/dev/char", &sys) == 0 && ::stat(hardware.c_str(), &sys) != 0;
        TPortInfo found;
        it = known_.emplace(key, !unlisted && source_->Find(device, found) ? std::optional(found) : std::nullopt).first;
    }
    if (it->second) info = *it->second;
    return it->second.has_value();
}

TPortListing ListPorts(const std::string& programFolder, const std::string& lockFolder) {
    TSystemPortSource system;
    return ListPorts(programFolder, lockFolder, system);
}

TPortListing ListPorts(const std::string& programFolder, const std::string& lockFolder, TPortSource& source) {
    TPortListing listing;
    // The serial component reads "" as the executable's folder; the listing names it.
    listing.ProgramFolder = programFolder.empty() ? ExecutableFolder() : WithSlash(programFolder);
    for (int n = 1; n <= kComPorts; ++n) listing.Com.push_back(Inspect(listing.ProgramFolder, n, lockFolder));
    listing.Grabbers = RunningPortGrabbers();

    for (const TPortInfo& info : source.List()) {
        TSerialDevice d;
        static_cast<TPortInfo&>(d) = info;
        const std::string real = RealPath(d.Path);
        for (const TComPort& com : listing.Com)
            if (com.Exists && com.Target == (real.empty() ? d.Path : real)) {
                d.ComNumber = com.Number;
                break;
            }
        JudgeDevice(d, lockFolder);
        listing.Devices.push_back(d);
    }
    std::sort(listing.Devices.begin(), listing.Devices.end(),
              [](const TSerialDevice& a, const TSerialDevice& b) { return a.Path < b.Path; });

    // A COM n is free to suggest when nothing reaches a device through it: its entry in the folder
    // is missing or a dangling link, and /dev/ttyS<n-1> is no port found here.
    std::vector<bool> taken(kComPorts + 1, false);
    for (TComPort& com : listing.Com) {
        const bool present = std::any_of(listing.Devices.begin(), listing.Devices.end(),
                                         [&](const TSerialDevice& d) { return d.ComNumber == com.Number; });
        if (com.Linked) taken[com.Number] = !FreeEntry(com.Device);
        else taken[com.Number] = present;
        // Every PC has /dev/ttyS0..ttyS31 nodes; most have no UART behind them.
        if (!com.Linked && com.Exists && !present && com.Problem.empty()) com.Problem = "no serial port found there";
    }
    for (TSerialDevice& d : listing.Devices) {
        if (d.ComNumber) continue;
        for (int n = 1; n <= kComPorts; ++n)
            if (!taken[n]) {
                taken[n] = true;
                d.SuggestedCom = n;
                d.LinkCommand = LinkCommand(d.ById.empty() ? d.Path : d.ById, listing.ProgramFolder, n);
                break;
            }
    }
    return listing;
}

std::string ComPortLine(const TComPort& p) {
    // A dangling link's target is whatever its maker wrote, control characters included.
    std::string line = "COM" + std::to_string(p.Number) + ": " + ShownText(p.Device);
    if (p.Linked) line += " -> " + ShownText(p.Target);
    if (!p.Problem.empty()) line += " (" + ShownText(p.Problem) + ")";
    if (p.HeldBy == static_cast<long>(::getpid())) line += ", in use by this program";
    else if (p.HeldBy > 0)
        line += ", in use by process " + std::to_string(p.HeldBy) + (p.HeldCommand.empty() ? "" : " (" + ShownText(p.HeldCommand) + ")");
    else if (p.HeldBy < 0) line += ", in use by another program";
    if (p.HeldBy && !p.HeldHow.empty()) line += " (" + ShownText(p.HeldHow) + ")";
    return line;
}

std::string PortTooltipText(const TPortListing& listing, int port) {
    std::string out;
    for (const TComPort& p : listing.Com)
        if (p.Number == port) out += ComPortLine(p) + "\n";
    if (out.empty()) out = "COM" + std::to_string(port) + " is not a port from 1 to 9\n";
    out += DevicesText(listing);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string PortListingText(const TPortListing& listing) {
    std::string out = "Program folder: " + ShownText(listing.ProgramFolder);
    out += listing.ProgramFolderReason.empty() ? "\n" : " (" + listing.ProgramFolderReason + ")\n";
    for (const TComPort& p : listing.Com) out += ComPortLine(p) + "\n";
    out += "COM n is the entry COM<n> in " + ShownText(listing.ProgramFolder) + " when there is one, else /dev/ttyS<n-1>.\n";
    out += DevicesText(listing);
    for (const std::string& grabber : listing.Grabbers)
        out += grabber + " is running. " + GrabberNote(grabber, "") + "\n";
    return out;
}

namespace {

QJsonValue JsonText(const std::string& s) { return s.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(s)); }

std::string JsonLine(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() + "\n"; }

// "in use", "unusable" or "free": what the text's line for COM n says, as one word.
const char* ComState(const TComPort& p) {
    if (p.HeldBy) return "in use";
    return p.Problem.empty() ? "free" : "unusable";
}

QJsonObject ComJson(const TComPort& p) {
    const bool self = p.HeldBy == static_cast<long>(::getpid());
    return {{"kind", "com"},
            {"com", p.Number},
            {"device", JsonText(p.Device)},
            {"linked", p.Linked},
            {"target", p.Linked ? JsonText(p.Target) : QJsonValue()},
            {"exists", p.Exists},
            {"state", ComState(p)},
            {"problem", JsonText(p.Problem)},
            {"holder_pid", p.HeldBy > 0 ? QJsonValue(static_cast<qint64>(p.HeldBy)) : QJsonValue()},
            {"holder_command", self ? QJsonValue("this program") : JsonText(p.HeldCommand)},
            {"holder_lock", p.HeldBy ? JsonText(p.HeldHow) : QJsonValue()}};
}

}  // namespace

std::string PortListingJson(const TPortListing& listing) {
    const auto text = JsonText;
    const auto id = [](int v) { return v < 0 ? QJsonValue() : QJsonValue(QString::asprintf("%04x", v)); };
    std::string out = JsonLine({{"kind", "program_folder"},
                                {"path", text(listing.ProgramFolder)},
                                {"reason", text(listing.ProgramFolderReason)}});
    for (const TComPort& p : listing.Com) out += JsonLine(ComJson(p));
    for (const TSerialDevice& d : listing.Devices) {
        QJsonObject o{{"kind", "device"},
                      {"path", text(d.Path)},
                      {"by_id", text(d.ById)},
                      {"com", d.ComNumber ? QJsonValue(d.ComNumber) : QJsonValue()},
                      {"maker", text(d.Maker)},
                      {"product", text(d.Product)},
                      {"usb_serial", text(d.UsbSerial)},
                      {"vid", id(d.Vid)},
                      {"pid", id(d.Pid)},
                      {"driver", text(d.Driver)},
                      {"latency_timer_ms", d.LatencyTimerMs < 0 ? QJsonValue() : QJsonValue(d.LatencyTimerMs)},
                      {"openable", d.Openable},
                      {"holder", text(d.Holder)},
                      {"reason", text(d.Problem.Reason)},
                      {"remedy", text(d.Problem.Remedy)},
                      {"link_command", text(d.LinkCommand)},
                      {"suggested_com", d.SuggestedCom ? QJsonValue(d.SuggestedCom) : QJsonValue()}};
        out += JsonLine(o);
    }
    for (const std::string& grabber : listing.Grabbers)
        out += JsonLine({{"kind", "grabber"}, {"name", text(grabber)}, {"note", text(GrabberNote(grabber, ""))}});
    return out;
}

namespace {

// "1a86:7523" as two numbers, when that is what the text is.
bool ParseVidPid(const std::string& text, int& vid, int& pid) {
    const auto hex = [](const std::string& part, int& value) {
        if (part.empty() || part.size() > 4 || !std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isxdigit(c); })) return false;
        value = static_cast<int>(std::strtol(part.c_str(), nullptr, 16));
        return true;
    };
    const size_t colon = text.find(':');
    return colon != std::string::npos && hex(text.substr(0, colon), vid) && hex(text.substr(colon + 1), pid);
}

std::string AdapterText(const TPortInfo& p) {
    std::string text = ShownText(p.Path) + " (";
    if (p.Vid >= 0) text += QString::asprintf("%04x:%04x, ", p.Vid, p.Pid).toStdString();
    return text + (p.UsbSerial.empty() ? "no serial number" : "serial " + ShownText(p.UsbSerial)) + ")";
}

std::string AdaptersText(const std::vector<TPortInfo>& ports) {
    std::string text;
    for (const TPortInfo& p : ports) text += (text.empty() ? "" : ", ") + AdapterText(p);
    return text;
}

}  // namespace

bool IsUsbDeviceSpec(const std::string& text) { return text.rfind("usb:", 0) == 0; }

bool ResolveUsbDevice(const std::string& spec, TPortSource& source, std::string& path, std::string& error) {
    const std::string wanted = spec.substr(4);
    if (wanted.empty()) {
        error = "usb: needs the adapter's serial number (usb:SERIAL) or its kind (usb:VID:PID)";
        return false;
    }
    int vid = -1, pid = -1;
    const bool byKind = ParseVidPid(wanted, vid, pid);
    const std::vector<TPortInfo> all = source.List();
    std::vector<TPortInfo> usb, matches;
    for (const TPortInfo& p : all) {
        if (p.Vid < 0 && p.UsbSerial.empty()) continue;
        usb.push_back(p);
        if (byKind ? p.Vid == vid && p.Pid == pid : p.UsbSerial == wanted) matches.push_back(p);
    }
    if (matches.size() == 1) {
        path = matches.front().Path;
        return true;
    }
    const std::string what = byKind ? QString::asprintf("%04x:%04x", vid, pid).toStdString() : "with serial number " + ShownText(wanted);
    if (matches.empty()) {
        error = usb.empty() ? "no USB serial adapter is attached (looked for " +
                                  (byKind ? "one of the kind " + what : "one " + what) + ")"
                            : "no USB serial adapter " + what + " is attached; attached: " + AdaptersText(usb);
        return false;
    }
    error = std::to_string(matches.size()) + " USB serial adapters " + what + " are attached: " + AdaptersText(matches) +
            (byKind ? "; name one by its serial number (usb:SERIAL)" : "; name one by its path (--device PATH)");
    return false;
}
