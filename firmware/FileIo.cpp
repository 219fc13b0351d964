#include "firmware/FileIo.h"

#include <cerrno>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/RunError.h"
#include "base/SafeFile.h"

namespace FileIo {

namespace {

size_t ReadInto(int fd, char* buf, size_t size, const std::string& fileName) {
    size_t used = 0;
    while (used < size) {
        const ssize_t n = ::read(fd, buf + used, size - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EInOutError("Cannot read file", fileName, errno);
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    return used;
}

}  // namespace

TFileContent::TFileContent(const std::string& fileName) {
    const TUniqueFd fd = OpenRegularFile(fileName);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) throw EInOutError("Cannot read file", fileName, errno);
    if (st.st_size == 0) return;
    const size_t size = static_cast<size_t>(st.st_size);
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.Get(), 0);
    if (p != MAP_FAILED) {
        map_ = p;
        mapSize_ = size;
        return;
    }
    // A file system that cannot map: read it instead.
    text_.resize(size);
    text_.resize(ReadInto(fd.Get(), text_.data(), size, fileName));
}

TFileContent::~TFileContent() {
    if (map_) ::munmap(map_, mapSize_);
}

size_t ReadUpTo(const std::string& fileName, uint8_t* buf, size_t size) {
    const TUniqueFd fd = OpenRegularFile(fileName);
    return ReadInto(fd.Get(), reinterpret_cast<char*>(buf), size, fileName);
}

}  // namespace FileIo
