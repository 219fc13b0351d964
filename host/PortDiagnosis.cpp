#include "host/PortDiagnosis.h"

#include "host/Ports.h"
#include "serial/serial_posix.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const char* const kSeePorts = "see `zupflshc ports`";

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

std::string RealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

std::string ComName(int com) { return "COM" + std::to_string(com); }

// ------------------------------------------------------------------------------------------------
// Who holds a device

std::string CommandOf(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool Alive(long pid) {
    return pid > 0 && pid <= INT_MAX && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

bool AllDigits(const char* s) { return *s && std::all_of(s, s + std::strlen(s), [](char c) { return c >= '0' && c <= '9'; }); }

struct TDirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using TDir = std::unique_ptr<DIR, TDirCloser>;

template <typename F>
void ForEachProcess(F&& f) {
    const TDir proc(::opendir("/proc"));
    if (!proc) return;
    while (const dirent* e = ::readdir(proc.get()))
        if (AllDigits(e->d_name)) f(std::strtol(e->d_name, nullptr, 10));
}

bool IsGrabber(const std::string& command) { return command == "ModemManager" || command == "brltty"; }

// The first other process with a descriptor on `real`: read from the links in /proc/<pid>/fd,
// which name the node without opening it. Other users' processes stay unseen unless this is root.
long ProcessWithOpen(const std::string& real, bool anyProcess) {
    long found = 0;
    ForEachProcess([&](long pid) {
        if (found || pid == ::getpid() || (!anyProcess && !IsGrabber(CommandOf(pid)))) return;
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        const TDir dir(::opendir(fds.c_str()));
        if (!dir) return;
        char target[PATH_MAX];
        while (const dirent* e = ::readdir(dir.get())) {
            const ssize_t n = ::readlinkat(::dirfd(dir.get()), e->d_name, target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == real) {
                found = pid;
                return;
            }
        }
    });
    return found;
}

// The holder of a flock on the node, from /proc/locks: seen even where /proc/<pid>/fd is not.
long KernelLockHolder(const struct stat& node) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        // "3: FLOCK  ADVISORY  WRITE 812 00:05:1234 0 EOF"; waiters carry "->" and hold nothing.
        if (line.find("->") != std::string::npos) continue;
        std::istringstream in(line);
        std::string id, kind, mode, access, where;
        long pid = 0;
        if (!(in >> id >> kind >> mode >> access >> pid >> where)) continue;
        unsigned maj = 0, min = 0;
        unsigned long ino = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &maj, &min, &ino) != 3) continue;
        if (maj == major(node.st_dev) && min == minor(node.st_dev) && ino == node.st_ino) return pid > 0 ? pid : -1;
    }
    return 0;
}

// Whether this program has claimed the device `rdev` through any of its names. A second node of one
// device (one a container or an administrator made) has an inode of its own, so neither the lock
// file's name nor the kernel's lock on the first node leads to this program; its own descriptors
// do: a node of the same device that it holds a flock on, as the serial component claims a port.
bool ClaimedHere(dev_t rdev) {
    const TDir fds(::opendir("/proc/self/fd"));
    if (!fds) return false;
    while (const dirent* e = ::readdir(fds.get())) {
        if (!AllDigits(e->d_name)) continue;
        // Through the descriptor's name, not the descriptor: another thread of this program may
        // close it meanwhile, and a number closed and reused must not be read as a handle.
        struct stat st {};
        const std::string name = std::string("/proc/self/fd/") + e->d_name;
        if (::stat(name.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != rdev) continue;
        if (KernelLockHolder(st) == ::getpid()) return true;
    }
    return false;
}

// ------------------------------------------------------------------------------------------------
// The device's owner, group and mode

std::string UserName(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    const group* gr = ::getgrgid(gid);
    return gr ? gr->gr_name : std::to_string(gid);
}

// As ls shows it: crw-rw----.
std::string ModeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : S_ISBLK(mode) ? "b" : S_ISDIR(mode) ? "d" : S_ISFIFO(mode) ? "p" : "-";
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) ? letters[bit] : '-';
    return text;
}

// Member of the group as /etc/group (or the user's own entry) has it, for the next login.
bool ListedInGroup(gid_t gid) {
    const passwd* pw = ::getpwuid(::geteuid());
    if (!pw) return false;
    if (pw->pw_gid == gid) return true;
    const group* gr = ::getgrgid(gid);
    if (!gr) return false;
    for (char** member = gr->gr_mem; member && *member; ++member)
        if (pw->pw_name == std::string(*member)) return true;
    return false;
}

// Member of the group in this login session, which is what the kernel checks.
bool SessionHasGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 0)));
    const int got = ::getgroups(count, groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(got, 0), gid) != groups.begin() + std::max(got, 0);
}

// What stands at a path, in words: "a regular file", "a directory", ...
std::string WhatItIs(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "something that cannot be examined";
    if (S_ISREG(st.st_mode)) return "a regular file";
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISBLK(st.st_mode)) return "a block device";
    if (major(st.st_rdev) == serialio::kPtmxMajor && minor(st.st_rdev) == serialio::kPtmxMinor)
        return "the pseudo-terminal multiplexer, which makes a new terminal with nothing at its other end";
    return "a character device that is not a terminal";
}

// The COM n (1 to 9) other than `com` that opens `device` now, 0 for none.
int OtherComOpening(const std::string& device, const TOpenFailure& f) {
    const std::string real = RealPath(device);
    for (int n = 1; n <= 9 && !real.empty(); ++n)
        if (n != f.Com && RealPath(ComDevice(f.ProgramFolder, n)) == real) return n;
    return 0;
}

// The adapter to offer in a link command: the first attached one that no other COM n opens yet, by
// its stable name, else the usual name of the first USB adapter. A device another COM n already
// opens is never offered: two names for one port only make a second way to the same unit.
std::string AdapterToLink(const TOpenFailure& f) {
    if (f.Ports)
        for (const TPortInfo& p : f.Ports->List())
            if (!OtherComOpening(p.Path, f)) return p.ById.empty() ? p.Path : p.ById;
    return "/dev/ttyUSB0";
}

// The remedy's link for COM n; when the only adapter attached is another COM m's already, that COM m
// comes first: the operator most likely chose the wrong number.
std::string LinkRemedy(const std::string& lead, const TOpenFailure& f) {
    const std::string link = lead + LinkCommand(AdapterToLink(f), f.ProgramFolder, f.Com) + "; " + kSeePorts;
    if (!f.Ports) return link;
    const std::vector<TPortInfo> attached = f.Ports->List();
    if (attached.size() != 1) return link;
    const int other = OtherComOpening(attached[0].Path, f);
    if (!other) return link;
    // The link names no adapter present then (the one there is COM m's): it is for one yet to come.
    return "choose " + ComName(other) + ", which opens " + attached[0].Path + " already; or plug in another adapter and " +
           link;
}

// The USB vendor and product of a tty, from sysfs ("0403", "6001"), empty when not USB.
std::pair<std::string, std::string> UsbIds(const std::string& device) {
    const std::string real = RealPath(device);
    const std::string name = real.substr(real.rfind('/') + 1);
    std::string dir = RealPath("/sys/class/tty/" + name + "/device");
    for (int up = 0; up < 4 && !dir.empty(); ++up, dir = dir.substr(0, dir.rfind('/'))) {
        std::ifstream vid(dir + "/idVendor"), pid(dir + "/idProduct");
        std::string v, p;
        if (std::getline(vid, v) && std::getline(pid, p)) return {v, p};
    }
    return {};
}

// ------------------------------------------------------------------------------------------------
// One builder per kind of failure

TPortDiagnosis Permission(const TOpenFailure& f) {
    const std::string node = RealPath(f.Device).empty() ? f.Device : RealPath(f.Device);
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0)
        return {TPortFault::Permission, "Permission denied: " + node + " cannot be examined", kSeePorts};
    const std::string user = UserName(::geteuid()), grp = GroupName(st.st_gid);
    const std::string found = "Permission denied: " + node + " belongs to " + UserName(st.st_uid) + ":" + grp +
                              " with mode " + ModeText(st.st_mode);
    if ((st.st_mode & 060) != 060)
        return {TPortFault::Permission, found + ", which gives its group no read and write access",
                // A built-in port is not plugged in: its rule takes effect when udev applies it again.
                node.rfind("/dev/ttyS", 0) == 0
                    ? "have a udev rule give it GROUP=\"dialout\", MODE=\"0660\", then run: sudo udevadm trigger " + node
                    : "have a udev rule give the adapter GROUP=\"dialout\", MODE=\"0660\", then plug it in again"};
    if (!ListedInGroup(st.st_gid))
        return {TPortFault::Permission, found + ", and user " + user + " is not in group " + grp,
                "sudo usermod -aG " + grp + " " + user + ", then log out and log in again"};
    if (!SessionHasGroup(st.st_gid))
        return {TPortFault::Permission, found + "; user " + user + " is in group " + grp + ", but this login session is not yet",
                "log out and log in again"};
    return {TPortFault::Permission, found + ", and user " + user + " is in group " + grp,
            "check the access of the folders on the way to " + node};
}

TPortDiagnosis Busy(const TOpenFailure& f) {
    const THolder h = FindHolder(f.Device, f.LockFolder);
    if (h.Stale)
        return {TPortFault::Busy, f.Device + " is taken by the stale lock file " + h.LockFile + " of process " +
                                      std::to_string(h.Pid) + ", which no longer runs",
                "sudo rm " + h.LockFile};
    if (h.Planted)
        return {TPortFault::Busy, f.Device + " is taken: " + h.LockFile + " is not a lock file but stands at its name",
                "sudo rm " + h.LockFile};
    const std::string lock = h.LockFile.empty() ? "" : " (lock file " + h.LockFile + ")";
    if (h.Pid == ::getpid())
        return {TPortFault::Busy, f.Device + " is already open in this program" + lock, "close it there first"};
    if (IsGrabber(h.Command))
        return {TPortFault::Busy, f.Device + " is in use by " + HolderText(h) + lock, GrabberNote(h.Command, f.Device)};
    if (h.Pid > 0)
        return {TPortFault::Busy, f.Device + " is in use by " + HolderText(h) + lock,
                "close " + (h.Command.empty() ? "process " + std::to_string(h.Pid) : HolderText(h)) + ", then try again"};
    return {TPortFault::Busy, f.Device + " is in use by another program, which this user cannot see",
            "close the program that uses it (sudo fuser -v " + f.Device + " names it), then try again"};
}

TPortDiagnosis Missing(const TOpenFailure& f) {
    const std::string gone = f.Error == ENOENT ? "which does not exist" : "which has no device behind it";
    if (!f.Com)
        return {TPortFault::Missing, f.Device + (f.Error == ENOENT ? " does not exist" : " has no device behind it"),
                "plug the adapter in or choose another device; " + std::string(kSeePorts)};
    const std::string entry = WithSlash(f.ProgramFolder) + ComName(f.Com);
    std::string reason;
    if (f.Device == entry) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(entry.c_str(), target, sizeof target - 1);
        reason = ComName(f.Com) + " is " + entry + " -> " + (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?") + ", " + gone;
    } else {
        reason = ComName(f.Com) + " is " + f.Device + " (there is no " + entry + "), " + gone;
    }
    return {TPortFault::Missing, reason, LinkRemedy("link the adapter as " + ComName(f.Com) + ": ", f)};
}

TPortDiagnosis NotSerial(const TOpenFailure& f) {
    const std::string remedy = f.Com ? LinkRemedy("link " + ComName(f.Com) + " to the adapter: ", f)
                                     : "choose the adapter's device; " + std::string(kSeePorts);
    return {TPortFault::NotSerial, f.Device + " is not a serial device: it is " + WhatItIs(f.Device), remedy};
}

TPortDiagnosis Other(const TOpenFailure& f) {
    return {TPortFault::Other, f.Device + " did not open: " + std::strerror(f.Error), kSeePorts};
}

// The program's own controlling terminal reads to the operator as the system's refusal it is.
TPortDiagnosis OwnTerminal(const TOpenFailure& f) { return {TPortFault::OwnTerminal, Other(f).Reason, kSeePorts}; }

// The kind comes from the open (the serial component refused the link before following it); the
// link's owner is looked up only to name them.
TPortDiagnosis ForeignLink(const TOpenFailure& f) {
    std::string detail;
    serialio::CheckComEntry(f.Device, detail);
    const std::string reason = detail.empty() ? f.Device + " is a link another user made: not followed"
                                              : detail.substr(0, detail.find("; "));
    return {TPortFault::ForeignLink, reason,
            "rm " + f.Device + " and make the link yourself: " + LinkCommand(AdapterToLink(f), f.ProgramFolder, f.Com)};
}

// The remedy for each kind of fault; the kind itself is decided once, where the errno is mapped.
const struct {
    TPortFault Fault;
    TPortDiagnosis (*Build)(const TOpenFailure&);
} kRemedies[] = {
    {TPortFault::Permission, Permission}, {TPortFault::Busy, Busy},           {TPortFault::Missing, Missing},
    {TPortFault::NotSerial, NotSerial},   {TPortFault::ForeignLink, ForeignLink}, {TPortFault::OwnTerminal, OwnTerminal},
};

}  // namespace

TPortDiagnosis DiagnoseOpenFailure(const TOpenFailure& f) {
    if (f.Error == 0 && f.Fault == TPortFault::None) return {};
    const TPortFault fault = f.Fault != TPortFault::None ? f.Fault : PortFaultOfError(f.Error);
    for (const auto& entry : kRemedies)
        if (entry.Fault == fault) return entry.Build(f);
    return Other(f);
}

TPortDiagnosis DiagnoseNoAnswer(const std::string& device, int baud) {
    return {TPortFault::NoAnswer, "the unit did not answer on " + device + " at " + std::to_string(baud) + " baud",
            "check that the unit was switched on after Start, the cable (pins 2, 3 and 5), the port and the baud rate"};
}

TPortDiagnosis DiagnoseResult(const TJobResult& r, const std::string& programFolder, const std::string& lockFolder,
                              TPortSource* ports) {
    switch (r.PortFault) {
    case TPortFault::None: return {};
    case TPortFault::NoAnswer: return DiagnoseNoAnswer(r.Device, r.Baud);
    case TPortFault::LineLost:
        return {TPortFault::LineLost,
                "the line to the unit went away on " + r.Device + (r.SystemReason.empty() ? "" : ": " + r.SystemReason),
                "check the adapter's plug and the cable; the unit must be uploaded again"};
    default:
        if (r.Kind != TResultKind::PortFailed) return {};
        return DiagnoseOpenFailure({r.Device, r.SystemError, r.ComPort, programFolder, lockFolder, ports, r.PortFault});
    }
}

THolder FindHolder(const std::string& device, const std::string& lockFolder, bool anyProcess) {
    THolder h;
    int err = 0;
    const std::string name = serialio::LockFileName(device, err);
    if (!err && !lockFolder.empty()) {
        const std::string lock = WithSlash(lockFolder) + name;
        bool notAFile = false;
        const long pid = serialio::ReadLockPid(lock, notAFile);
        if (notAFile) {
            h.LockFile = lock;
            h.Planted = true;
            return h;
        }
        if (pid > 0) {
            h.LockFile = lock;
            h.Pid = pid;
            h.Stale = !Alive(pid);
            if (!h.Stale) h.Command = CommandOf(pid);
            if (!h.Stale) return h;
        }
    }
    const std::string real = RealPath(device);
    struct stat node {};
    if (real.empty() || ::stat(real.c_str(), &node) != 0) return h;
    long pid = KernelLockHolder(node);
    if (!pid && S_ISCHR(node.st_mode) && ClaimedHere(node.st_rdev)) pid = ::getpid();
    if (!pid) pid = ProcessWithOpen(real, anyProcess);
    if (!pid) return h;   // a stale lock file, if any, is the only thing in the way
    h = THolder{};
    h.Pid = pid;
    if (pid > 0) h.Command = CommandOf(pid);
    return h;
}

std::string HolderText(const THolder& h) {
    if (h.Pid == 0 || h.Stale) return {};
    if (h.Pid < 0) return "another program";
    return (h.Command.empty() ? "process" : h.Command) + " (pid " + std::to_string(h.Pid) + ")";
}

std::vector<std::string> RunningPortGrabbers() {
    std::vector<std::string> found;
    ForEachProcess([&](long pid) {
        const std::string command = CommandOf(pid);
        if (IsGrabber(command) &&
            std::find(found.begin(), found.end(), command) == found.end())
            found.push_back(command);
    });
    std::sort(found.begin(), found.end());
    return found;
}

std::string GrabberNote(const std::string& command, const std::string& device) {
    if (command == "brltty")
        return "brltty (the braille display driver) claims some USB serial adapters: "
               "sudo systemctl mask --now brltty.service brltty-udev.service, or sudo apt remove brltty";
    const auto [vid, pid] = UsbIds(device);
    const std::string match = vid.empty() ? "matching the adapter, " : "ATTRS{idVendor}==\"" + vid + "\", ATTRS{idProduct}==\"" + pid + "\", ";
    return "ModemManager probes serial adapters for modems: keep it away with a udev rule " + match +
           "ENV{ID_MM_DEVICE_IGNORE}=\"1\" in /etc/udev/rules.d/99-zupflshc.rules, then plug the adapter in again";
}
