#include "firmware/FileIo.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "firmware/RunError.h"

namespace FileIo {

TFd::~TFd() {
    if (fd_ >= 0) ::close(fd_);
}

int TFd::Close() {
    if (fd_ < 0) return 0;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
}

namespace {

void WriteAll(int fd, const void* data, size_t size, const std::string& fileName) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EInOutError("Cannot write file", fileName, errno);
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
}

}  // namespace

int OpenForReading(const std::string& fileName) {
    int fd;
    do fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) throw EInOutError("Cannot open file", fileName, errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        throw EInOutError("Cannot open file", fileName, e);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw EInOutError("Cannot open file", fileName, EISDIR);
    }
    return fd;
}

std::string ReadWholeFile(const std::string& fileName) {
    TFd fd(OpenForReading(fileName));
    struct stat st {};
    std::string data;
    if (::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode)) data.reserve(static_cast<size_t>(st.st_size) + 65536);
    size_t used = 0;
    for (;;) {
        if (data.size() - used < 65536) data.resize(std::max(used + 65536, data.capacity()));
        const ssize_t n = ::read(fd.Get(), data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EInOutError("Cannot read file", fileName, errno);
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    data.resize(used);
    return data;
}

TFileContent::TFileContent(const std::string& fileName) {
    TFd fd(OpenForReading(fileName));
    struct stat st {};
    if (::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.Get(), 0);
        if (p != MAP_FAILED) {
            map_ = p;
            mapSize_ = static_cast<size_t>(st.st_size);
            return;
        }
    }
    fd.Close();
    text_ = ReadWholeFile(fileName);
}

TFileContent::~TFileContent() {
    if (map_) ::munmap(map_, mapSize_);
}

size_t ReadUpTo(const std::string& fileName, uint8_t* buf, size_t size) {
    TFd fd(OpenForReading(fileName));
    size_t used = 0;
    while (used < size) {
        const ssize_t n = ::read(fd.Get(), buf + used, size - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EInOutError("Cannot read file", fileName, errno);
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    return used;
}

void WriteWholeFile(const std::string& fileName, const void* data, size_t size) {
    int raw;
    do raw = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    while (raw < 0 && errno == EINTR);
    if (raw < 0) throw EInOutError("Cannot create file", fileName, errno);
    TFd fd(raw);
    WriteAll(fd.Get(), data, size, fileName);
    if (fd.Close() != 0) throw EInOutError("Cannot write file", fileName, errno);
}

void ReplaceFile(const std::string& fileName, const void* data, size_t size) {
    // A name of our own beside the target, so the rename stays within one file system.
    static std::atomic<unsigned> serial{0};
    std::string temp;
    int raw = -1;
    for (int attempt = 0; attempt < 100 && raw < 0; ++attempt) {
        temp = fileName + ".part" + std::to_string(::getpid()) + "_" + std::to_string(serial++);
        raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (raw < 0 && errno != EEXIST && errno != EINTR) break;
    }
    if (raw < 0) throw EInOutError("Cannot create file", fileName, errno);
    TFd fd(raw);
    try {
        WriteAll(fd.Get(), data, size, fileName);
        if (fd.Close() != 0) throw EInOutError("Cannot write file", fileName, errno);
        if (::rename(temp.c_str(), fileName.c_str()) != 0) throw EInOutError("Cannot write file", fileName, errno);
    } catch (...) {
        fd.Close();
        ::unlink(temp.c_str());
        throw;
    }
}

}  // namespace FileIo
