#include "firmware/BinaryImage.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

void TBinaryImage::EmptyBinaryFile(const std::string& binFileName, int imageChunks) {
    fileName_ = binFileName;
    chunks_ = std::max(imageChunks, 0);
    bytes_.assign(static_cast<size_t>(chunks_) * 128, 0xFF);
    dirty_ = false;
    // One write of the whole image: erased flash is 0xFF throughout.
    WriteImageFile(binFileName, bytes_);
}

void TBinaryImage::OpenExisting(const std::string& binFileName, int imageChunks) {
    const size_t size = static_cast<size_t>(std::max(imageChunks, 0)) * 128;
    std::vector<uint8_t> bytes(size, 0xFF);
    // A shorter file leaves 0xFF (erased flash) past its end; a longer one counts up to the image size.
    FileIo::ReadUpTo(binFileName, bytes.data(), size);
    bytes_ = std::move(bytes);
    fileName_ = binFileName;
    chunks_ = std::max(imageChunks, 0);
    dirty_ = false;
}

void TBinaryImage::Write(uint64_t address, const uint8_t* data, size_t count) {
    // Data at or past the end cannot reach the upload, and writing it would only grow the file.
    if (count == 0 || address >= bytes_.size()) return;
    const size_t n = std::min<uint64_t>(count, bytes_.size() - address);
    std::memcpy(bytes_.data() + address, data, n);
    dirty_ = true;
}

void TBinaryImage::Flush() {
    if (!dirty_ || fileName_.empty()) return;
    WriteImageFile(fileName_, bytes_);
    dirty_ = false;
}
