// The binary image: byte N is the unit's flash byte at address N, 0xFF where nothing was given.
// Held in memory while a conversion runs and written to its file on disk ("X.BIN") once complete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Data given for addresses at or past the image end: it can never reach the unit.
struct TLeftOut {
    uint64_t Bytes = 0;    // data bytes, a byte given twice counted twice
    uint64_t Lowest = 0;   // lowest and highest such address, when Bytes > 0
    uint64_t Highest = 0;
};
// "12 bytes at 0x400000-0x40000B were left out: they lie beyond the 4 MiB of flash"; "" when none.
std::string LeftOutText(const TLeftOut& leftOut, size_t imageSize);

namespace FileIo {
struct TInputDigest;
}

class TBinaryImage {
public:
    // Makes the image imageChunks*128 bytes of 0xFF (erased flash) that Flush will write to
    // `binFileName`. Whatever stood at the name is removed now, so that a preparation that fails
    // leaves no image file behind to be taken for a prepared one later. Throws EInOutError, with
    // nothing created, where the file could not be written (a missing or read-only folder, a
    // folder or a FIFO at the name).
    void EmptyBinaryFile(const std::string& binFileName, int imageChunks);
    // The same image held in memory only: Flush writes nothing, and nothing on disk is touched.
    void EmptyImage(int imageChunks);
    // Takes an existing binary file as the image (a .bin input): only the first imageChunks*128
    // bytes count, a shorter file reads as 0xFF past its end. The file is not changed. A file
    // over FileIo::MaxInputFileSize is refused.
    void OpenExisting(const std::string& binFileName, int imageChunks, FileIo::TInputDigest* digest = nullptr);
    // Writes bytes at `address`; what falls at or past the image end is dropped and counted.
    void Write(uint64_t address, const uint8_t* data, size_t count);
    // Writes the image to its file (after HexToBinary) by replacing it (base/SafeFile.h
    // ReplaceFile), never through a link. An image taken from an existing file is written only
    // when it was changed. Throws EInOutError.
    void Flush();

    int ImageChunks() const { return chunks_; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    const std::string& FileName() const { return fileName_; }
    // What was dropped since EmptyBinaryFile or OpenExisting.
    const TLeftOut& LeftOut() const { return leftOut_; }

private:
    std::string fileName_;
    std::vector<uint8_t> bytes_;
    TLeftOut leftOut_;
    int chunks_ = 0;
    bool dirty_ = false;   // changed since it was read or written
    bool unwritten_ = false;  // emptied and not yet written to its file
};
