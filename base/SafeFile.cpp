#include "base/SafeFile.h"

#include <atomic>
#include <cerrno>
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
    mode_t Mode = 0;
};

TTarget InspectTarget(const std::string& path, const char* action) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return {};
        throw EInOutError(action, path, errno);
    }
    if (S_ISDIR(st.st_mode)) throw EInOutError(action, path, EISDIR);
    if (S_ISLNK(st.st_mode)) return {true, false, 0};
    if (!S_ISREG(st.st_mode)) ThrowNotRegularFile(action, path);
    return {true, true, static_cast<mode_t>(st.st_mode & 07777)};
}

// A new, empty file of our own beside `path`. O_EXCL never follows a link, so a name planted in
// the folder can only make the attempt fail, not redirect it.
TUniqueFd CreateBeside(const std::string& path, std::string& temp) {
    static std::atomic<unsigned> serial{0};
    const std::string folder = FolderOf(path);
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && (err == EEXIST || err == EINTR); ++attempt) {
        temp = folder + "/.zup-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".part";
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
    std::string content;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(r.Fd.Get(), buf, sizeof buf);
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
    if (target.Regular && ::fchmod(fd.Get(), target.Mode) != 0) throw EInOutError("Cannot write file", path, errno);
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
