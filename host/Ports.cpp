#include "host/Ports.h"

#include <QDir>
#include <QFileInfo>
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
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "base/Paths.h"
#include "serial/serial_posix.h"

namespace {

constexpr int kComPorts = 9;

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

bool Alive(long pid) {
    return pid > 0 && pid <= INT_MAX && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The pid in a LCK.. file, in ASCII (HDB) or as a 4-byte int (old UUCP). The lock folder is
// world-writable, so anything may sit there under that name: only a regular file is read (a FIFO
// would block, a link could lead to a tty whose open raises DTR), and only its first bytes.
long LockFilePid(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[64] = {};
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n == 4 && (buf[0] < ' ' || buf[1] < ' ' || buf[2] < ' ' || buf[3] < ' ')) {
        int pid;
        std::memcpy(&pid, buf, 4);
        return pid;
    }
    if (n <= 0) return 0;
    char* end = nullptr;
    long pid = std::strtol(buf, &end, 10);
    return end == buf ? 0 : pid;
}

// The holder of a flock or record lock on the node, from /proc/locks: the device itself is never
// opened, which for a real port would pulse DTR and could reset what hangs on it.
long KernelLockHolder(const struct stat& node) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "3: FLOCK  ADVISORY  WRITE 812 00:05:1234 0 EOF"; waiters carry "->" and hold nothing.
        if (line.find("->") != std::string::npos) continue;
        std::istringstream in(line);
        std::string id, kind, mode, access, where;
        long pid = 0;
        if (!(in >> id >> kind >> mode >> access >> pid >> where)) continue;
        unsigned maj = 0, min = 0;
        unsigned long ino = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &maj, &min, &ino) != 3) continue;
        if (maj == major(node.st_dev) && min == minor(node.st_dev) && ino == node.st_ino)
            return pid > 0 ? pid : -1;
    }
    return 0;
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
    p.Device = serialio::DeviceNameFor(folder, n);
    p.Linked = p.Device == folder + "COM" + std::to_string(n);

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

    int err = 0;
    const std::string lockName = serialio::LockFileName(p.Device, err);
    if (!err && !lockFolder.empty()) {
        const std::string lockPath = WithSlash(lockFolder) + lockName;
        const long pid = LockFilePid(lockPath);
        if (Alive(pid)) {
            p.HeldBy = pid;
            p.HeldHow = lockPath;
            return p;
        }
    }
    if (long pid = KernelLockHolder(node)) {
        p.HeldBy = pid;
        p.HeldHow = "flock";
    }
    return p;
}

std::string Describe(const TSerialDevice& d) {
    std::string what;
    for (const std::string* part : {&d.Manufacturer, &d.Product})
        if (!part->empty() && what.find(*part) == std::string::npos) what += (what.empty() ? "" : " ") + *part;
    if (!d.SerialNumber.empty()) what += (what.empty() ? "serial " : ", serial ") + d.SerialNumber;
    return what;
}

std::string DevicesText(const TPortListing& listing) {
    if (listing.Devices.empty())
        return "No serial devices found (a USB adapter appears as /dev/ttyUSB* or /dev/ttyACM*).\n";
    std::string out = "Serial devices present:\n";
    for (const TSerialDevice& d : listing.Devices) {
        out += "  " + d.Path;
        if (const std::string what = Describe(d); !what.empty()) out += "  " + what;
        out += "\n";
        if (!d.ById.empty()) out += "    " + d.ById + "\n";
        if (d.ComNumber) out += "    is COM" + std::to_string(d.ComNumber) + "\n";
        else if (!d.LinkCommand.empty())
            out += "    make it COM" + std::to_string(d.SuggestedCom) + ": " + d.LinkCommand + "\n";
        else out += "    no free COM number to link it as\n";
    }
    return out;
}

}  // namespace

std::string LinkCommand(const std::string& target, const std::string& programFolder, int port) {
    return "ln -sfn " + ShellQuoted(target) + " " + ShellQuoted(WithSlash(programFolder) + "COM" + std::to_string(port));
}

TPortListing ListPorts(const std::string& programFolder, const std::string& lockFolder) {
    TPortListing listing;
    // The serial component reads "" as the executable's folder; the listing names it.
    listing.ProgramFolder = programFolder.empty() ? ExecutableFolder() : WithSlash(programFolder);
    for (int n = 1; n <= kComPorts; ++n) listing.Com.push_back(Inspect(listing.ProgramFolder, n, lockFolder));

    std::map<std::string, std::string> byId;  // device node -> its by-id name
    const QFileInfoList ids = QDir("/dev/serial/by-id").entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo& id : ids)
        if (const QString node = id.canonicalFilePath(); !node.isEmpty())
            byId.emplace(node.toStdString(), id.absoluteFilePath().toStdString());

    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        TSerialDevice d;
        d.Path = info.systemLocation().toStdString();
        const std::string real = RealPath(d.Path);
        if (auto it = byId.find(real.empty() ? d.Path : real); it != byId.end()) d.ById = it->second;
        d.Manufacturer = info.manufacturer().trimmed().toStdString();
        d.Product = info.description().trimmed().toStdString();
        d.SerialNumber = info.serialNumber().trimmed().toStdString();
        for (const TComPort& com : listing.Com)
            if (com.Exists && com.Target == (real.empty() ? d.Path : real)) {
                d.ComNumber = com.Number;
                break;
            }
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
    std::string line = "COM" + std::to_string(p.Number) + ": " + p.Device;
    if (p.Linked) line += " -> " + p.Target;
    if (!p.Problem.empty()) line += " (" + p.Problem + ")";
    if (p.HeldBy == static_cast<long>(::getpid())) line += ", in use by this program";
    else if (p.HeldBy > 0) line += ", in use by process " + std::to_string(p.HeldBy);
    else if (p.HeldBy < 0) line += ", in use by another program";
    if (p.HeldBy && p.HeldHow != "flock") line += " (" + p.HeldHow + ")";
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
    std::string out;
    for (const TComPort& p : listing.Com) out += ComPortLine(p) + "\n";
    out += "COM n is the entry COM<n> in " + listing.ProgramFolder + " when there is one, else /dev/ttyS<n-1>.\n";
    return out + DevicesText(listing);
}
