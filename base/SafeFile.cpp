#include "base/SafeFile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Paths.h"
#include "base/RunError.h"

namespace {

// What stands at a name that is about to be replaced. A symbolic link counts as nothing to keep:
// the rename puts the new file in its place.
struct TTarget {
    bool Exists = false;
    bool Regular = false;
    std::optional<mode_t> KeptMode;  // nullopt: the new file keeps the mode it was created with
};

// Permissions are taken over only from a file of our own, and never the set-id or sticky bits: a
// file planted by another user with mode 4755 must not make our replacement a set-user-id program
// (of root's, when root prepares).
TTarget InspectTarget(const std::string& path, const char* action) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return {};
        throw EInOutError(action, path, errno);
    }
    if (S_ISDIR(st.st_mode)) throw EInOutError(action, path, EISDIR);
    if (S_ISLNK(st.st_mode)) return {true, false, std::nullopt};
    if (!S_ISREG(st.st_mode)) ThrowNotRegularFile(action, path);
    if (st.st_uid != ::geteuid()) return {true, true, std::nullopt};
    return {true, true, static_cast<mode_t>(st.st_mode & 0777)};
}

// Temporary files are named ".<target>.zup-<pid>-<serial>.part", the target's name cut so that the
// whole stays within NAME_MAX. The pid lets a later writer tell the leftovers of a killed run from
// the file of a writer still at work.
constexpr char kTempInfix[] = ".zup-";
constexpr char kTempSuffix[] = ".part";

std::string TempPrefix(const std::string& path) {
    constexpr size_t kRoom = NAME_MAX - 32;  // the dots, the infix, two numbers and the suffix
    const std::string name = path.substr(FileNameStart(path));
    return "." + name.substr(0, kRoom) + kTempInfix;
}

// The writer's pid when `entry` is a temporary of ours for the target of `prefix`, else 0.
pid_t TempWriter(std::string_view entry, const std::string& prefix) {
    const size_t suffix = sizeof kTempSuffix - 1;
    if (entry.size() <= prefix.size() + suffix || entry.substr(0, prefix.size()) != prefix ||
        entry.substr(entry.size() - suffix) != kTempSuffix)
        return 0;
    const std::string_view numbers = entry.substr(prefix.size(), entry.size() - prefix.size() - suffix);
    const size_t dash = numbers.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash > 10 || dash + 1 == numbers.size()) return 0;
    long long pid = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
        const char c = numbers[i];
        if (i == dash) continue;
        if (c < '0' || c > '9') return 0;
        if (i < dash) pid = pid * 10 + (c - '0');
    }
    return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

// A run killed while it wrote leaves its temporary behind, one per run. Only files of this user,
// named exactly as ours for this target, whose writer no longer exists are removed; an error
// here only means a leftover stays, so none is reported.
void RemoveStaleTemporaries(const std::string& path) {
    const std::string prefix = TempPrefix(path);
    DIR* dir = ::opendir(FolderOf(path).c_str());
    if (!dir) return;
    const int dirFd = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
        const pid_t pid = TempWriter(e->d_name, prefix);
        if (pid == 0 || pid == ::getpid()) continue;
        struct stat st {};
        if (::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH) ::unlinkat(dirFd, e->d_name, 0);
    }
    ::closedir(dir);
}

// A new, empty file of our own beside `path`. O_EXCL never follows a link, so a name planted in
// the folder can only make the attempt fail, not redirect it.
TUniqueFd CreateBeside(const std::string& path, std::string& temp) {
    static std::atomic<unsigned> serial{0};
    const std::string base = FolderOf(path) + "/" + TempPrefix(path) + std::to_string(::getpid()) + "-";
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && (err == EEXIST || err == EINTR); ++attempt) {
        temp = base + std::to_string(serial++) + kTempSuffix;
        TUniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
        if (fd.Valid()) return fd;
        err = errno;
    }
    throw EInOutError("Cannot create file", path, err);
}

void WriteAll(int fd, std::string_view data, const std::string& path) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EInOutError("Cannot write file", path, errno);
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace

void ThrowNotRegularFile(const char* action, const std::string& path) {
    throw EInOutError(std::string(action) + " \"" + path + "\": not a regular file", path);
}

TOpenResult TryOpenRegularFile(const std::string& path, int flags, mode_t mode) {
    TOpenResult r;
    int fd;
    do fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // ENXIO: a FIFO without a reader or a device without its hardware; ELOOP under O_NOFOLLOW:
        // a symbolic link. Neither is a file to read or write.
        if (errno == ENXIO || (errno == ELOOP && (flags & O_NOFOLLOW))) r.NotRegular = true;
        else r.Error = errno;
        return r;
    }
    r.Fd.Reset(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) r.Error = errno;
    else if (S_ISDIR(st.st_mode)) r.Error = EISDIR;
    else if (!S_ISREG(st.st_mode)) r.NotRegular = true;
    if (r.Error || r.NotRegular) r.Fd.Close();
    return r;
}

TUniqueFd OpenRegularFile(const std::string& path, int flags, mode_t mode, const char* action) {
    TOpenResult r = TryOpenRegularFile(path, flags, mode);
    if (r.NotRegular) ThrowNotRegularFile(action, path);
    if (r.Error) throw EInOutError(action, path, r.Error);
    return std::move(r.Fd);
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t cap) {
    TOpenResult r = TryOpenRegularFile(path, O_RDONLY);
    if (r.Error == ENOENT) return std::nullopt;
    if (r.NotRegular) ThrowNotRegularFile("Cannot open file", path);
    if (r.Error) throw EInOutError("Cannot open file", path, r.Error);
    return ReadOpenedFile(r.Fd.Get(), path, cap);
}

std::string ReadOpenedFile(int fd, const std::string& path, size_t cap) {
    std::string content;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EInOutError("Cannot read file", path, errno);
        }
        if (n == 0) return content;
        // Counted while reading, not from the size: a file that grows under us is caught too.
        if (content.size() + static_cast<size_t>(n) > cap) throw EInOutError("Cannot read file", path, EFBIG);
        content.append(buf, static_cast<size_t>(n));
    }
}

void ReplaceFile(const std::string& path, std::string_view content) {
    const TTarget target = InspectTarget(path, "Cannot create file");
    RemoveStaleTemporaries(path);
    std::string temp;
    TUniqueFd fd = CreateBeside(path, temp);
    struct RemoveUnlessRenamed {
        const std::string& name;
        bool renamed = false;
        ~RemoveUnlessRenamed() {
            if (!renamed) ::unlink(name.c_str());
        }
    } guard{temp};

    WriteAll(fd.Get(), content, path);
    if (target.KeptMode && ::fchmod(fd.Get(), *target.KeptMode) != 0) throw EInOutError("Cannot write file", path, errno);
    // A file system without fsync (EINVAL) has nothing more to flush.
    if (::fsync(fd.Get()) != 0 && errno != EINVAL) throw EInOutError("Cannot write file", path, errno);
    if (fd.Close() != 0) throw EInOutError("Cannot write file", path, errno);
    if (::rename(temp.c_str(), path.c_str()) != 0) throw EInOutError("Cannot write file", path, errno);
    guard.renamed = true;
}

void CheckReplaceable(const std::string& path) {
    const TTarget target = InspectTarget(path, "Cannot create file");
    // A file the user has made read-only stays refused, as a plain open for writing would.
    if (target.Regular) {
        TOpenResult r = TryOpenRegularFile(path, O_WRONLY | O_NOFOLLOW);
        if (r.NotRegular) ThrowNotRegularFile("Cannot create file", path);
        if (r.Error) throw EInOutError("Cannot create file", path, r.Error);
    }
    std::string temp;
    TUniqueFd probe = CreateBeside(path, temp);
    ::unlink(temp.c_str());
}
