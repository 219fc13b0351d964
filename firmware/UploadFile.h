// The upload block file (.ZUP): 135-byte blocks (6 address characters, 128 data bytes, an 8-bit
// sum) for every chunk that is not blank, then the 4-character 16-bit sum of the whole image.
// Also the table of input files: which kind of file a chosen name is, and what it is prepared into.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "firmware/BinaryImage.h"
#include "firmware/FileIo.h"

constexpr int BlockSize = 135;
// The most blocks an image gives (one per chunk of a 4 MiB image), so the largest upload block file.
constexpr int MaxUploadBlocks = 32768;
constexpr uint64_t MaxUploadFileSize = uint64_t{MaxUploadBlocks} * BlockSize + 4;

// What the chosen input file is: converted into the image record by record (Intel HEX), taken as
// the image (binary), or already the upload (an upload block file).
enum class TInputKind { IntelHex, Binary, Upload, Unknown };

// One row per input format: a new format is one reader and one row of the table in
// UploadFile.cpp. The engine prepares a file through its row; the chooser's filter and the command
// line's list of accepted extensions are made from the table.
struct TInputFormat {
    const char* Ext;         // upper case, as SplitInputFileName gives it
    TInputKind Kind;
    const char* FilterText;  // the file chooser's entry for it
    // Reads the file into `image` (already set up for the job's size); nullptr for the upload.
    // Every byte read goes into `digest` (the whole file).
    void (*Read)(const std::string& fileName, TBinaryImage& image, int imageChunks, FileIo::TInputDigest* digest);
};
// The row for an extension, nullptr when none has it.
const TInputFormat* FindInputFormat(const std::string& inputExt);
// "Norvane Upload (.zup)|*.zup|Binary (.bin)|*.bin|...|", the chooser's filter text.
std::string InputFilterText();
// ".zup, .bin, .h86 or .mcs".
std::string AcceptedExtensionsText();
struct TInputNames {
    std::string InputExt;     // up to three characters after the last '.' of the file's own name, upper case
    std::string BaseName;     // the path up to that '.'
    std::string BinFileName;  // BaseName + ".BIN" (or the input itself for a .bin)
    std::string ZupFileName;  // BaseName + ".ZUP" (or the input itself for a .zup)
};
// The extension is taken after the last '.' of the file's own name, so "fw.bin.h86" is Intel HEX
// and a '.' in a folder name does not count. A name without a '.' has as "extension" its first
// three characters and no base name.
TInputNames SplitInputFileName(const std::string& inputFileName);
TInputKind InputKind(const std::string& inputExt);  // inputExt upper case, as SplitInputFileName gives it

// An upload block file offered as input must be whole blocks and a 4-character trailer, and no
// larger than MaxUploadFileSize; anything else (a truncated or foreign file, a FIFO) throws
// EInOutError naming it.
void CheckUploadFile(const std::string& name);
// Reads the file once and holds every block's last byte against BlockChecksum of the rest; throws
// EInOutError naming the file and the first damaged block (numbered from 1), or as CheckUploadFile.
void CheckUploadBlocks(const std::string& name);

uint8_t BlockChecksum(const uint8_t* block);  // low 8 bits of the sum of bytes 0..133

struct TBuildResult {
    int BlockCount = 0;
    std::string Checksum;  // four upper-case hex digits
};
// An upload held whole in memory: the blocks as they go on the wire, and the trailer.
struct TUploadImage {
    std::vector<std::string> Blocks;  // 135 bytes each, in address order
    std::string Checksum;             // the 4-character trailer
};
// The upload of `image`, nothing written. No blocks at all means the image holds nothing for the
// unit's flash (every byte 0xFF).
TUploadImage MakeUploadImage(const TBinaryImage& image);
// The SHA-256 of the blocks as they go on the wire, one after another (the upload block file
// without its 4-character trailer, which is never sent), lower-case hex.
std::string UploadBlocksSha256(const TUploadImage& upload);
// Writes `upload` as an upload block file, as BuildUploadFile does. Throws EInOutError.
void WriteUploadFile(const TUploadImage& upload, const std::string& zupFileName);
// An upload block file read once (opened as base/SafeFile.h opens, at most MaxUploadFileSize
// bytes) and checked as CheckUploadFile and CheckUploadBlocks do. Throws EInOutError naming it.
TUploadImage ReadUploadFile(const std::string& zupFileName, FileIo::TInputDigest* digest = nullptr);

// Writes the upload block file for `image` to zupFileName through ReplaceFile: a failure never
// leaves a half-written file under that name, and a link there is replaced, not written through.
// Throws EInOutError.
TBuildResult BuildUploadFile(const TBinaryImage& image, const std::string& zupFileName);

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
