#include "firmware/FileIo.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/RunError.h"
#include "base/SafeFile.h"

namespace FileIo {

namespace {

size_t ReadInto(int fd, char* buf, size_t size, const std::string& fileName) {
    size_t used = 0;
    while (used < size) {
        const ssize_t n = ::read(fd, buf + used, size - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EInOutError("Cannot read file", fileName, errno);
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    return used;
}

uint64_t RefuseLargerThan(int fd, uint64_t maxSize, const std::string& fileName,
                          const std::string& limitText = MaxInputFileSizeText) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw EInOutError("Cannot read file", fileName, errno);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > maxSize) ThrowTooLarge(fileName, limitText);
    return size;
}

// The first CR or LF in [p, end), or end. Sixteen bytes at a time where the processor allows: a
// 12 MB file has to be split into lines within a fraction of one 50 ms tick.
const char* FindLineEnd(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int hit = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
        if (hit) return p + std::countr_zero(static_cast<unsigned>(hit));
        p += 16;
    }
#endif
    while (p < end && *p != '\n' && *p != '\r') ++p;
    return p;
}

}  // namespace

void ThrowTooLarge(const std::string& fileName, const std::string& limitText) {
    throw EInOutError("Cannot read file \"" + fileName + "\": File too large (over " + limitText + ")", fileName);
}

TLineReader::TLineReader(const std::string& fileName, uint64_t maxSize, TInputDigest* digest)
    : fileName_(fileName), fd_(OpenRegularFile(fileName)), buf_(BufferSize), maxSize_(maxSize), digest_(digest) {
    RefuseLargerThan(fd_.Get(), maxSize, fileName);
}

void TLineReader::DigestRest() {
    if (!digest_) return;
    while (!eof_) {
        pos_ = have_;  // what is in the buffer has been digested already
        if (!Fill()) eof_ = true;
    }
}

bool TLineReader::Fill() {
    if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, have_ - pos_);
        have_ -= pos_;
        pos_ = 0;
    }
    const size_t n = ReadInto(fd_.Get(), buf_.data() + have_, buf_.size() - have_, fileName_);
    // Counted while reading, not only from the size: a file that grows under us is caught too.
    total_ += n;
    if (total_ > maxSize_) ThrowTooLarge(fileName_, MaxInputFileSizeText);
    if (digest_) digest_->Add(std::string_view(buf_.data() + have_, n));
    have_ += n;
    return n > 0;
}

bool TLineReader::Next(std::string_view& line) {
    for (;;) {
        const char* const p = buf_.data() + pos_;
        const char* const end = buf_.data() + have_;
        const char* const stop = FindLineEnd(p, end);
        // A CR last in the buffer may be the first half of a CR LF.
        const bool whole = stop < end && (stop + 1 < end || *stop == '\n' || eof_);
        if (whole || (eof_ && p < end)) {
            const char* next = stop;
            if (next < end && *next == '\r') ++next;
            if (next < end && *next == '\n' && (next == stop || next[-1] == '\r')) ++next;
            pos_ = static_cast<size_t>(next - buf_.data());
            if (skipping_) {
                skipping_ = false;
                continue;
            }
            line = std::string_view(p, static_cast<size_t>(stop - p));
            return true;
        }
        if (eof_) return false;
        if (pos_ == 0 && have_ == buf_.size()) {
            // A line longer than the buffer: hand over its beginning once and pass over the rest,
            // keeping the last byte in case it is the CR of a CR LF.
            const bool first = !skipping_;
            skipping_ = true;
            pos_ = have_ - 1;
            if (first) {
                line = std::string_view(buf_.data(), have_ - 1);
                return true;
            }
        }
        if (!Fill()) eof_ = true;
    }
}

std::string ReadWholeFile(const std::string& fileName, uint64_t maxSize, const std::string& limitText) {
    const TUniqueFd fd = OpenRegularFile(fileName);
    std::string content(RefuseLargerThan(fd.Get(), maxSize, fileName, limitText) + 1, '\0');
    // One byte more than the size asks: a file that grew since is read up to its cap, no further.
    size_t used = 0;
    for (;;) {
        used += ReadInto(fd.Get(), content.data() + used, content.size() - used, fileName);
        if (used < content.size()) {
            content.resize(used);
            return content;
        }
        if (used > maxSize) ThrowTooLarge(fileName, limitText);
        content.resize(static_cast<size_t>(std::min<uint64_t>(maxSize + 1, content.size() * 2)));
    }
}

size_t ReadUpTo(const std::string& fileName, uint8_t* buf, size_t size, uint64_t maxSize, TInputDigest* digest) {
    const TUniqueFd fd = OpenRegularFile(fileName);
    RefuseLargerThan(fd.Get(), maxSize, fileName);
    const size_t got = ReadInto(fd.Get(), reinterpret_cast<char*>(buf), size, fileName);
    if (!digest) return got;
    digest->Add(std::string_view(reinterpret_cast<const char*>(buf), got));
    std::vector<char> rest(64 * 1024);
    uint64_t total = got;
    for (size_t n; (n = ReadInto(fd.Get(), rest.data(), rest.size(), fileName)) > 0;) {
        total += n;
        if (total > maxSize) ThrowTooLarge(fileName, MaxInputFileSizeText);
        digest->Add(std::string_view(rest.data(), n));
    }
    return got;
}

}  // namespace FileIo
