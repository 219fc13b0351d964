// Reading the firmware inputs. Every failure is an EInOutError that names the file and the
// system's reason; writes go through ReplaceFile (base/SafeFile.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Sha256.h"
#include "base/UniqueFd.h"

namespace FileIo {

// What names an input file in the record: the SHA-256 and the size of the bytes read from it, in
// the same pass that prepares it, so the digest is of exactly what was prepared.
struct TInputDigest {
    TSha256 Hash;
    int64_t Size = 0;
    void Add(std::string_view bytes) {
        Hash.Update(bytes);
        Size += static_cast<int64_t>(bytes.size());
    }
};

// No input for a 4 MiB flash needs more: even in one-byte records with comments a full image stays
// well below it. A larger file is refused before it is read.
constexpr uint64_t MaxInputFileSize = uint64_t{64} << 20;
constexpr const char* MaxInputFileSizeText = "64 MiB";

// "Cannot read file "x": File too large (over 64 MiB)".
[[noreturn]] void ThrowTooLarge(const std::string& fileName, const std::string& limitText);

// The lines of a text file, each ended by CR, LF or CR LF, read in pieces into one buffer: a file
// cut short or rewritten while it is read cannot crash the reader, as a mapped file could. A FIFO
// or device in the file's place is refused, never waited on.
class TLineReader {
public:
    // Throws EInOutError, "File too large" for a file over `maxSize` bytes. Every byte read is
    // added to `digest` when one is given.
    TLineReader(const std::string& fileName, uint64_t maxSize, TInputDigest* digest = nullptr);
    // Reads what is left of the file into the digest (the lines after the last one wanted).
    void DigestRest();
    // The next line without its end, valid until the next call; false at the end of the file. A
    // line longer than the buffer comes cut to its first BufferSize - 1 characters (no record
    // reaches that far); the rest of it is passed over.
    bool Next(std::string_view& line);

    static constexpr size_t BufferSize = 256 * 1024;

private:
    bool Fill();  // false at the end of the file

    std::string fileName_;
    TUniqueFd fd_;
    std::vector<char> buf_;
    size_t pos_ = 0;   // start of the next line in buf_
    size_t have_ = 0;  // bytes in buf_
    uint64_t total_ = 0;
    uint64_t maxSize_;
    bool eof_ = false;
    bool skipping_ = false;  // in the rest of a line that was handed over cut short
    TInputDigest* digest_ = nullptr;
};

// The whole content of the regular file; one over `maxSize` bytes is refused ("File too large
// (over <limitText>)") before it is read.
std::string ReadWholeFile(const std::string& fileName, uint64_t maxSize, const std::string& limitText);

// Reads at most `size` bytes from the start of the regular file into `buf`; returns how many
// arrived. A file over `maxSize` bytes is refused ("File too large").
// With `digest`, the rest of the file is read into it as well.
size_t ReadUpTo(const std::string& fileName, uint8_t* buf, size_t size, uint64_t maxSize = MaxInputFileSize,
                TInputDigest* digest = nullptr);

}  // namespace FileIo
