// Whole-file reads and writes for the firmware preparation. Every failure is an EInOutError that
// names the file and the system's reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace FileIo {

// Owns one file descriptor.
class TFd {
public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    ~TFd();
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }
    // Gives up ownership (the descriptor now belongs to someone else).
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports the result of close() (errors of delayed writes show up here).
    int Close();

private:
    int fd_;
};

// Opens an existing regular file for reading; a directory is refused with EISDIR.
int OpenForReading(const std::string& fileName);
// Reads the whole file.
std::string ReadWholeFile(const std::string& fileName);
// Reads at most `size` bytes from the start of the file into `buf`; returns how many arrived.
size_t ReadUpTo(const std::string& fileName, uint8_t* buf, size_t size);
// Creates or truncates the file and writes `size` bytes to it.
void WriteWholeFile(const std::string& fileName, const void* data, size_t size);
// Writes the data beside `fileName` and renames it into place once it is complete.
void ReplaceFile(const std::string& fileName, const void* data, size_t size);

}  // namespace FileIo
