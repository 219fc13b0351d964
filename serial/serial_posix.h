// The Linux side of the serial component: small helpers over termios and the tty ioctls, each
// giving back 0 or an errno so the component has one error path. Nothing here knows about
// threads or events.
#pragma once

#include "base/UniqueFd.h"
#include "serial/Serial4.h"

#include <cstddef>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace serialio {

struct TLineSettings {
    int Baud = 9600;
    int DataBits = 8;                 // 7 or 8
    eParity Parity = paNone;
    bool TwoStopBits = false;
    eFlowControl Flow = fcNone;
    bool CheckParity = true;
};

// /dev/ptmx (and devpts' own ptmx): a new pseudo-terminal at every open, never a serial line.
constexpr unsigned kPtmxMajor = 5, kPtmxMinor = 2;

// Which device an open descriptor reached: its path as the system resolved it at the open, and
// its device number.
struct TDeviceId {
    std::string Path;
    dev_t Rdev = 0;
    bool operator==(const TDeviceId& o) const { return Path == o.Path && Rdev == o.Rdev; }
};
int IdentifyDevice(int fd, TDeviceId& id);
// 0 when what a port's rule named for its number may be opened: no COM entry, or one (the entry itself, not what it
// leads to) that belongs to this user or root. Otherwise EPERM and `detail` naming its owner:
// another user's link in a folder they can write to would send the upload to a terminal of theirs.
int CheckComEntry(const std::string& path, std::string& detail);
// pid recorded in a lock file: ASCII (the usual HDB form) or a 4-byte binary int (old UUCP form),
// from its first 63 bytes. -1 when none can be read; `notAFile` when something other than a
// regular file has the name (any user can put a FIFO into the lock folder: opened plainly, it
// would block the open for good).
long ReadLockPid(const std::string& path, bool& notAFile);
// The same from a lock file already open.
long ReadLockPid(int fd);
// "LCK..ttyUSB0" for /dev/ttyUSB0 reached through any link; "LCK..pts_3" for /dev/pts/3.
std::string LockFileName(const std::string& device, int& err);

// What became of the low-latency request an open makes (USB adapters otherwise hold received bytes
// back for their latency timer, 16 ms by default).
enum class TLowLatency {
    Unsupported,  // the driver has no such flag (a pseudo-terminal): left as it is, nothing to say
    AlreadyOn,    // nothing changed, nothing to undo
    Set,          // switched on; the flags it found go back at close
    Refused,      // the driver has the flag but would not take it (Error says why)
};
// The tty's serial flags, read and written: the system's ioctls, or a test's.
struct TSerialFlagOps {
    int (*Get)(int fd, int& flags);  // 0 or an errno
    int (*Set)(int fd, int flags);
};
const TSerialFlagOps& SystemSerialFlags();
struct TLowLatencyRequest {
    TLowLatency State = TLowLatency::Unsupported;
    int SavedFlags = 0;  // the flags before (Set)
    int Error = 0;       // Refused: the errno, or EINVAL when the driver quietly kept its old flags
};
TLowLatencyRequest RequestLowLatency(int fd, const TSerialFlagOps& ops);
// Undoes what the request changed; nothing when it changed nothing.
void RestoreLowLatency(int fd, const TLowLatencyRequest& request, const TSerialFlagOps& ops);

// One open, claimed and configured port. Everything Open did is undone by the destructor, in
// reverse: original settings back, exclusive mode off, descriptor (and with it the flock) closed,
// lock file removed. A failed Open leaves nothing behind.
//
// The lock file is made whole (pid written, then linked into place). An existing one is stale,
// and removed, only when its process is gone and it is more than a second old; one that is stale
// but cannot be removed makes the open fail with EBUSY and `detail` naming the file, its pid and
// the command that removes it.
class TPort {
public:
    static std::unique_ptr<TPort> Open(const std::string& device, const std::string& lockFolder,
                                       const TLineSettings& settings, int& err,
                                       std::string* detail = nullptr);
    ~TPort();
    TPort(const TPort&) = delete;
    TPort& operator=(const TPort&) = delete;

    int Fd() const { return fd_.Get(); }
    const std::string& LockPath() const { return lockPath_; }
    const TLowLatencyRequest& LowLatency() const { return lowLatency_; }

private:
    TPort();
    struct Saved;
    TUniqueFd fd_;
    bool exclusive_ = false;
    bool restore_ = false;
    std::unique_ptr<Saved> saved_;
    TLowLatencyRequest lowLatency_;
    std::string lockPath_;
    struct stat lockId_ {};   // which file at lockPath_ is ours
};

// Builds and applies raw termios for the settings, then reads them back: a driver that quietly
// kept something else is a failure (EINVAL). Rates without a B constant go through BOTHER.
int ApplySettings(int fd, const TLineSettings& s);
// Discards both directions of the driver's queues.
int FlushQueues(int fd);
// line 0 = RTS, 1 = DTR; other lines do nothing. Result ignored by design.
void SetModemLine(int fd, int line, bool on);
int QueuedInput(int fd, int& count);
int QueuedOutput(int fd, int& count);
// Reads what is waiting, at most max bytes, without blocking. Returns the count, or -errno.
// A device that vanished (poll says readable or hung up but read gives 0) is -EIO.
ssize_t ReadAvailable(int fd, char* buf, size_t max);

}  // namespace serialio
