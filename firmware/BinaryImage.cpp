#include "firmware/BinaryImage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Hex.h"
#include "base/RunError.h"
#include "base/SafeFile.h"
#include "firmware/FileIo.h"

namespace {

// Through a file beside it and a rename, like the upload block file: a link at the name is
// replaced rather than written through. An older image under the name no longer matches the input
// being prepared; when the new one cannot be written it is removed, so that it is never taken for
// a prepared image later (a link is left alone: what it points to is not ours).
void WriteImageFile(const std::string& fileName, const std::vector<uint8_t>& bytes) {
    try {
        ReplaceFile(fileName, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (const EInOutError&) {
        struct stat st {};
        if (::lstat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(fileName.c_str());
        throw;
    }
}

// The old image (or a link to one) goes at once; a folder or a special file stays for
// CheckReplaceable to refuse.
void RemoveOldImage(const std::string& fileName) {
    struct stat st {};
    if (::lstat(fileName.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) return;
    if (::unlink(fileName.c_str()) != 0 && errno != ENOENT) throw EInOutError("Cannot create file", fileName, errno);
}

std::string AddressText(uint64_t address) {
    int width = 6;
    while (width < 16 && (address >> (4 * width)) != 0) ++width;
    return "0x" + HexText(address, width);
}

std::string SizeText(size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

std::string LeftOutText(const TLeftOut& leftOut, size_t imageSize) {
    if (leftOut.Bytes == 0) return "";
    const bool one = leftOut.Bytes == 1;
    std::string where = AddressText(leftOut.Lowest);
    if (leftOut.Highest != leftOut.Lowest) where += "-" + AddressText(leftOut.Highest);
    return std::to_string(leftOut.Bytes) + (one ? " byte at " : " bytes at ") + where +
           (one ? " was" : " were") + " left out: " + (one ? "it lies" : "they lie") + " beyond the " +
           SizeText(imageSize) + " of flash";
}

void TBinaryImage::EmptyImage(int imageChunks) {
    fileName_.clear();
    chunks_ = std::max(imageChunks, 0);
    bytes_.assign(static_cast<size_t>(chunks_) * 128, 0xFF);
    leftOut_ = {};
    dirty_ = false;
    unwritten_ = false;
}

void TBinaryImage::EmptyBinaryFile(const std::string& binFileName, int imageChunks) {
    EmptyImage(imageChunks);
    fileName_ = binFileName;
    RemoveOldImage(binFileName);
    // The file is written only once the image is complete; whether it can be is known now.
    CheckReplaceable(binFileName);
    unwritten_ = true;
}

void TBinaryImage::OpenExisting(const std::string& binFileName, int imageChunks, FileIo::TInputDigest* digest) {
    const size_t size = static_cast<size_t>(std::max(imageChunks, 0)) * 128;
    std::vector<uint8_t> bytes(size, 0xFF);
    // A shorter file leaves 0xFF (erased flash) past its end; a longer one counts up to the image size.
    FileIo::ReadUpTo(binFileName, bytes.data(), size, FileIo::MaxInputFileSize, digest);
    bytes_ = std::move(bytes);
    fileName_ = binFileName;
    chunks_ = std::max(imageChunks, 0);
    leftOut_ = {};
    dirty_ = false;
    unwritten_ = false;
}

void TBinaryImage::Write(uint64_t address, const uint8_t* data, size_t count) {
    if (count == 0) return;
    const uint64_t size = bytes_.size();
    const uint64_t kept = address >= size ? 0 : std::min<uint64_t>(count, size - address);
    if (kept < count) {
        // Data at or past the end cannot reach the upload, and writing it would only grow the file.
        const uint64_t low = address + kept, high = address + count - 1;
        leftOut_.Lowest = leftOut_.Bytes == 0 ? low : std::min(leftOut_.Lowest, low);
        leftOut_.Highest = leftOut_.Bytes == 0 ? high : std::max(leftOut_.Highest, high);
        leftOut_.Bytes += count - kept;
    }
    if (kept == 0) return;
    std::memcpy(bytes_.data() + address, data, kept);
    dirty_ = true;
}

void TBinaryImage::Flush() {
    if ((!dirty_ && !unwritten_) || fileName_.empty()) return;
    WriteImageFile(fileName_, bytes_);
    dirty_ = false;
    unwritten_ = false;
}
