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

// The whole content of a file, read-only: mapped when it is a regular file (no copy, no page
// faults of a fresh buffer), read into memory otherwise.
class TFileContent {
public:
    explicit TFileContent(const std::string& fileName);
    ~TFileContent();
    TFileContent(const TFileContent&) = delete;
    TFileContent& operator=(const TFileContent&) = delete;
    const char* Data() const { return map_ ? static_cast<const char*>(map_) : text_.data(); }
    size_t Size() const { return map_ ? mapSize_ : text_.size(); }

private:
    void* map_ = nullptr;
    size_t mapSize_ = 0;
    std::string text_;
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
