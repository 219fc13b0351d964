#include "firmware/UploadFile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>

#include "firmware/FileIo.h"
#include "firmware/RunError.h"

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";

bool IsBlank(const uint8_t* chunk) {
    uint64_t all = ~uint64_t{0};
    for (int i = 0; i < 128; i += 8) {
        uint64_t w;
        std::memcpy(&w, chunk + i, 8);
        all &= w;
    }
    return all == ~uint64_t{0};
}

}  // namespace

uint8_t BlockChecksum(const uint8_t* block) {
    unsigned s = 0;
    for (int i = 0; i < BlockSize - 1; ++i) s += block[i];
    return static_cast<uint8_t>(s);
}

TBuildResult BuildUploadFile(const TBinaryImage& image, const std::string& zupFileName) {
    const std::vector<uint8_t>& bytes = image.Bytes();
    const size_t chunks = bytes.size() / 128;
    TBuildResult result;
    std::string out;
    out.reserve(chunks * BlockSize + 4);
    uint64_t sum = 0;  // of every image byte, blank chunks included
    uint8_t block[BlockSize];
    for (size_t i = 0; i < chunks; ++i) {
        const uint8_t* chunk = bytes.data() + i * 128;
        unsigned chunkSum = 0;
        for (int k = 0; k < 128; ++k) chunkSum += chunk[k];
        sum += chunkSum;
        if (IsBlank(chunk)) continue;
        const size_t address = i * 128;
        for (int d = 0; d < 6; ++d) block[d] = static_cast<uint8_t>(kHexUpper[(address >> (4 * (5 - d))) & 0xF]);
        std::memcpy(block + 6, chunk, 128);
        block[BlockSize - 1] = BlockChecksum(block);
        out.append(reinterpret_cast<const char*>(block), BlockSize);
        ++result.BlockCount;
    }
    const unsigned checksum = static_cast<unsigned>(sum & 0xFFFF);
    for (int d = 0; d < 4; ++d) result.Checksum += kHexUpper[(checksum >> (4 * (3 - d))) & 0xF];
    out += result.Checksum;
    FileIo::ReplaceFile(zupFileName, out.data(), out.size());
    return result;
}

void CreateEmptyFile(const std::string& fileName) {
    FileIo::WriteWholeFile(fileName, nullptr, 0);
}

TZupFile::~TZupFile() {
    Close();
}

void TZupFile::Open(const std::string& fileName) {
    Close();
    FileIo::TFd fd(FileIo::OpenForReading(fileName));
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
