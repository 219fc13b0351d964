// The upload block file (.ZUP): 135-byte blocks (6 address characters, 128 data bytes, an 8-bit
// sum) for every chunk that is not blank, then the 4-character 16-bit sum of the whole image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "firmware/BinaryImage.h"

constexpr int BlockSize = 135;

uint8_t BlockChecksum(const uint8_t* block);  // low 8 bits of the sum of bytes 0..133

struct TBuildResult {
    int BlockCount = 0;
    std::string Checksum;  // four upper-case hex digits
};
// Writes the upload block file for `image` to zupFileName. The file is written beside its final
// name and moved into place only when complete, so a failure never leaves a half-written file
// under that name. Throws EInOutError.
TBuildResult BuildUploadFile(const TBinaryImage& image, const std::string& zupFileName);
// Creates or truncates zupFileName (the step before the build); throws EInOutError.
void CreateEmptyFile(const std::string& fileName);

// Reading an upload block file back, block by block, during a transfer.
class TZupFile {
public:
    TZupFile() = default;
    ~TZupFile();
    TZupFile(const TZupFile&) = delete;
    TZupFile& operator=(const TZupFile&) = delete;

    // Opens (closing first if open). BlockCount = size div 135. Throws EInOutError.
    void Open(const std::string& fileName);
    void Close();
    bool IsOpen() const { return f_ != nullptr; }
    void Rewind();                         // read position 0; throws EInOutError
    // Reads the next 135 bytes; false (and nothing changed) at the end of the blocks.
    bool ReadBlock(std::string& block);
    // The 4 bytes after the last block read, as text. A file without a whole trailer yields a
    // text that can never equal a checksum ("" or fewer than 4 characters).
    std::string ReadFileChecksum();
    int BlockCount() const { return blockCount_; }
    const std::string& FileName() const { return fileName_; }

private:
    std::FILE* f_ = nullptr;
    std::string fileName_;
    int blockCount_ = 0;
    int blocksRead_ = 0;  // blocks read since the last Open/Rewind
};
