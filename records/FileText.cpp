#include "records/FileText.h"

#include "firmware/RunError.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace records {
namespace {

// Owns one descriptor.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    // Closing can report a failed delayed write, so callers that write check it.
    int Close() {
        int rc = 0;
        if (fd_ >= 0) rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

std::string FolderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::optional<std::string> ReadFileIfExists(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw EInOutError("Cannot open file", path, errno);
    }
    std::string content;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EInOutError("Cannot read file", path, errno);
        }
        if (n == 0) break;
        content.append(buf, static_cast<size_t>(n));
    }
    return content;
}

void ReplaceFile(const std::string& path, const std::string& content) {
    // Keep the permissions of the file being replaced; a new one gets the usual 0644.
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw EInOutError("Cannot create file", path, EISDIR);
        mode = st.st_mode & 07777;
    }

    std::string tmpl = FolderOf(path) + "/.tmp-XXXXXX";
    Fd fd(::mkstemp(tmpl.data()));
    if (fd.Get() < 0) throw EInOutError("Cannot create file", path, errno);
    struct TempGuard {
        std::string name;
        bool keep = false;
        ~TempGuard() {
            if (!keep) ::unlink(name.c_str());
        }
    } guard{tmpl};

    ::fchmod(fd.Get(), mode);
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd.Get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EInOutError("Cannot write file", path, errno);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::fsync(fd.Get()) != 0 && errno != EINVAL) throw EInOutError("Cannot write file", path, errno);
    if (fd.Close() != 0) throw EInOutError("Cannot write file", path, errno);
    if (::rename(tmpl.c_str(), path.c_str()) != 0) throw EInOutError("Cannot write file", path, errno);
    guard.keep = true;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string::npos ? text.size() : lf;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    return lines;
}

}  // namespace records
