#include "firmware/UploadFile.h"

#include <cctype>
#include <cerrno>
#include <iterator>
#include <climits>
#include <cstring>
#include <sys/stat.h>

#include "base/Hex.h"
#include "base/Paths.h"
#include "base/RunError.h"
#include "base/SafeFile.h"
#include "base/Sha256.h"
#include "firmware/FileIo.h"
#include "firmware/IntelHex.h"

namespace {

void ReadIntelHex(const std::string& fileName, TBinaryImage& image, int, FileIo::TInputDigest* digest) {
    THexReader reader;
    reader.HexToBinaryFile(fileName, image, digest);
}

void ReadBinary(const std::string& fileName, TBinaryImage& image, int imageChunks, FileIo::TInputDigest* digest) {
    image.OpenExisting(fileName, imageChunks, digest);
}

// In the order the file chooser offers them.
constexpr TInputFormat kInputFormats[] = {
    {"ZUP", TInputKind::Upload, "Norvane Upload (.zup)", nullptr},
    {"BIN", TInputKind::Binary, "Binary (.bin)", ReadBinary},
    {"H86", TInputKind::IntelHex, "Intel HEX (.h86)", ReadIntelHex},
    {"MCS", TInputKind::IntelHex, "Intel HEX (.mcs)", ReadIntelHex},
};

std::string LowerExt(const char* ext) {
    std::string e = ext;
    for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "." + e;
}

bool IsBlank(const uint8_t* chunk) {
    uint64_t all = ~uint64_t{0};
    for (int i = 0; i < 128; i += 8) {
        uint64_t w;
        std::memcpy(&w, chunk + i, 8);
        all &= w;
    }
    return all == ~uint64_t{0};
}

const std::string kUploadLimitText = std::to_string(MaxUploadFileSize) + " bytes";

void CheckUploadShape(long long size, const std::string& name) {
    if (size < 4 || (size - 4) % BlockSize != 0)
        throw EInOutError("\"" + name + "\" is not an upload block file: " + std::to_string(size) +
                              " bytes are not whole blocks of 135 bytes followed by a 4-character checksum",
                          name);
}

// The first block (numbered from 1) whose checksum byte is wrong is reported.
void CheckBlockSums(const std::string& content, const std::string& name) {
    const size_t blocks = (content.size() - 4) / BlockSize;
    for (size_t i = 0; i < blocks; ++i) {
        const uint8_t* block = reinterpret_cast<const uint8_t*>(content.data()) + i * BlockSize;
        const uint8_t given = block[BlockSize - 1], sum = BlockChecksum(block);
        if (given != sum)
            throw EInOutError("\"" + name + "\" is damaged: block " + std::to_string(i + 1) + " of " +
                                  std::to_string(blocks) + " has checksum " + HexText(given, 2) +
                                  ", its bytes give " + HexText(sum, 2),
                              name);
    }
}

std::string ReadCheckedUploadFile(const std::string& name) {
    std::string content = FileIo::ReadWholeFile(name, MaxUploadFileSize, kUploadLimitText);
    CheckUploadShape(static_cast<long long>(content.size()), name);
    CheckBlockSums(content, name);
    return content;
}

// Calls onBlock(block) for every chunk of `image` that is not blank; returns the trailer, the sum
// of every image byte (blank chunks included).
template <class F>
std::string ForEachBlock(const TBinaryImage& image, F&& onBlock) {
    const std::vector<uint8_t>& bytes = image.Bytes();
    const size_t chunks = bytes.size() / 128;
    uint64_t sum = 0;
    uint8_t block[BlockSize];
    for (size_t i = 0; i < chunks; ++i) {
        const uint8_t* chunk = bytes.data() + i * 128;
        unsigned chunkSum = 0;
        for (int k = 0; k < 128; ++k) chunkSum += chunk[k];
        sum += chunkSum;
        if (IsBlank(chunk)) continue;
        const std::string address = HexText(i * 128, 6);
        std::memcpy(block, address.data(), 6);
        std::memcpy(block + 6, chunk, 128);
        block[BlockSize - 1] = BlockChecksum(block);
        onBlock(std::string_view(reinterpret_cast<const char*>(block), BlockSize));
    }
    return HexText(static_cast<unsigned>(sum & 0xFFFF), 4);
}

}  // namespace

const TInputFormat* FindInputFormat(const std::string& inputExt) {
    for (const TInputFormat& row : kInputFormats)
        if (inputExt == row.Ext) return &row;
    return nullptr;
}

TInputKind InputKind(const std::string& inputExt) {
    const TInputFormat* row = FindInputFormat(inputExt);
    return row ? row->Kind : TInputKind::Unknown;
}

std::string InputFilterText() {
    std::string filter;
    for (const TInputFormat& row : kInputFormats) filter += std::string(row.FilterText) + "|*" + LowerExt(row.Ext) + "|";
    return filter;
}

std::string AcceptedExtensionsText() {
    std::string text;
    const size_t n = std::size(kInputFormats);
    for (size_t i = 0; i < n; ++i)
        text += (i == 0 ? "" : i + 1 == n ? " or " : ", ") + LowerExt(kInputFormats[i].Ext);
    return text;
}

TInputNames SplitInputFileName(const std::string& inputFileName) {
    TInputNames names;
    const size_t nameStart = FileNameStart(inputFileName);
    const size_t dot = inputFileName.rfind('.');
    const bool hasDot = dot != std::string::npos && dot >= nameStart;
    names.InputExt = inputFileName.substr(hasDot ? dot + 1 : nameStart, 3);
    for (char& c : names.InputExt)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    names.BaseName = hasDot ? inputFileName.substr(0, dot) : std::string();
    names.BinFileName = names.BaseName + ".BIN";
    names.ZupFileName = names.BaseName + ".ZUP";
    switch (InputKind(names.InputExt)) {
    case TInputKind::Binary: names.BinFileName = inputFileName; break;
    case TInputKind::Upload: names.ZupFileName = inputFileName; break;
    default: break;
    }
    return names;
}

void CheckUploadFile(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) throw EInOutError("Cannot open file", name, errno);
    if (!S_ISREG(st.st_mode)) throw EInOutError("\"" + name + "\" is not a file", name);
    if (static_cast<uint64_t>(st.st_size) > MaxUploadFileSize) FileIo::ThrowTooLarge(name, kUploadLimitText);
    CheckUploadShape(st.st_size, name);
}

void CheckUploadBlocks(const std::string& name) { (void)ReadCheckedUploadFile(name); }

TUploadImage ReadUploadFile(const std::string& zupFileName, FileIo::TInputDigest* digest) {
    const std::string content = ReadCheckedUploadFile(zupFileName);
    if (digest) digest->Add(content);
    TUploadImage upload;
    const size_t blocks = (content.size() - 4) / BlockSize;
    upload.Blocks.reserve(blocks);
    for (size_t i = 0; i < blocks; ++i) upload.Blocks.push_back(content.substr(i * BlockSize, BlockSize));
    upload.Checksum = content.substr(blocks * BlockSize);
    return upload;
}

TUploadImage MakeUploadImage(const TBinaryImage& image) {
    TUploadImage upload;
    upload.Checksum = ForEachBlock(image, [&](std::string_view block) { upload.Blocks.emplace_back(block); });
    return upload;
}

std::string UploadBlocksSha256(const TUploadImage& upload) {
    TSha256 digest;
    for (const std::string& block : upload.Blocks) digest.Update(block);
    return digest.HexDigest();
}

void WriteUploadFile(const TUploadImage& upload, const std::string& zupFileName) {
    std::string out;
    out.reserve(upload.Blocks.size() * BlockSize + upload.Checksum.size());
    for (const std::string& block : upload.Blocks) out += block;
    out += upload.Checksum;
    ReplaceFile(zupFileName, out);
}

uint8_t BlockChecksum(const uint8_t* block) {
    unsigned s = 0;
    for (int i = 0; i < BlockSize - 1; ++i) s += block[i];
    return static_cast<uint8_t>(s);
}

TBuildResult BuildUploadFile(const TBinaryImage& image, const std::string& zupFileName) {
    TBuildResult result;
    std::string out;
    out.reserve(image.Bytes().size() / 128 * BlockSize + 4);
    result.Checksum = ForEachBlock(image, [&](std::string_view block) {
        out += block;
        ++result.BlockCount;
    });
    out += result.Checksum;
    ReplaceFile(zupFileName, out);
    return result;
}

TZupFile::~TZupFile() {
    Close();
}

void TZupFile::Open(const std::string& fileName) {
    Close();
    TUniqueFd fd = OpenRegularFile(fileName);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) throw EInOutError("Cannot open file", fileName, errno);
    std::FILE* f = ::fdopen(fd.Get(), "rb");
    if (!f) throw EInOutError("Cannot open file", fileName, errno);
    (void)fd.Release();
    f_ = f;
    fileName_ = fileName;
    const long long blocks = static_cast<long long>(st.st_size) / BlockSize;
    blockCount_ = blocks > INT_MAX ? INT_MAX : static_cast<int>(blocks);
    blocksRead_ = 0;
}

void TZupFile::Close() {
    if (f_) std::fclose(f_);
    f_ = nullptr;
    blocksRead_ = 0;
}

void TZupFile::Rewind() {
    if (!f_) throw EInOutError("Cannot read file \"" + fileName_ + "\": it is not open", fileName_);
    if (std::fseek(f_, 0, SEEK_SET) != 0) throw EInOutError("Cannot read file", fileName_, errno);
    std::clearerr(f_);
    blocksRead_ = 0;
}

bool TZupFile::ReadBlock(std::string& block) {
    if (!f_ || blocksRead_ >= blockCount_) return false;
    char buf[BlockSize];
    const long at = std::ftell(f_);
    const size_t got = std::fread(buf, 1, BlockSize, f_);
    if (got != BlockSize) {
        if (std::ferror(f_)) throw EInOutError("Cannot read file", fileName_, errno ? errno : EIO);
        // The file shrank under us: leave the position where it was.
        std::clearerr(f_);
        if (at >= 0) std::fseek(f_, at, SEEK_SET);
        return false;
    }
    block.assign(buf, BlockSize);
    ++blocksRead_;
    return true;
}

std::string TZupFile::ReadFileChecksum() {
    if (!f_) return {};
    char buf[4];
    const size_t got = std::fread(buf, 1, sizeof buf, f_);
    // A trailer that is missing or cut short gives fewer than four characters, which can never
    // equal the four digits the unit reports.
    return std::string(buf, got);
}
