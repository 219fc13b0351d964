// The binary image: byte N is the unit's flash byte at address N, 0xFF where nothing was given.
// Held in memory while a conversion runs and mirrored to its file on disk ("X.BIN").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TBinaryImage {
public:
    // Fills the image and the file `binFileName` with imageChunks*128 bytes of 0xFF. The file is
    // replaced (base/SafeFile.h ReplaceFile), never written through a link. Throws EInOutError.
    void EmptyBinaryFile(const std::string& binFileName, int imageChunks);
    // Takes an existing binary file as the image (a .bin input): only the first imageChunks*128
    // bytes count, a shorter file reads as 0xFF past its end. The file is not changed.
    void OpenExisting(const std::string& binFileName, int imageChunks);
    // Writes bytes at `address`; what falls at or past the image end is dropped.
    void Write(uint64_t address, const uint8_t* data, size_t count);
    // Makes the file on disk hold the image (after HexToBinary), again by replacing it. Throws
    // EInOutError.
    void Flush();

    int ImageChunks() const { return chunks_; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
    std::vector<uint8_t> bytes_;
    int chunks_ = 0;
    bool dirty_ = false;
};
