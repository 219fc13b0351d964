// Whole-file reads for the firmware preparation. Every failure is an EInOutError that names the
// file and the system's reason; writes go through ReplaceFile (base/SafeFile.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace FileIo {

// The whole content of a regular file, read-only and mapped: no copy, no page faults of a fresh
// buffer. A FIFO or device in its place is refused, never waited on.
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

// Reads at most `size` bytes from the start of the regular file into `buf`; returns how many arrived.
size_t ReadUpTo(const std::string& fileName, uint8_t* buf, size_t size);

}  // namespace FileIo
