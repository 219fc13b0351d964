#include "firmware/IntelHex.h"

#include <cstring>
#include <string_view>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/Hex.h"
#include "base/RunError.h"
#include "firmware/FileIo.h"

namespace {

std::string Where(const std::string& fileName, long lineNumber) {
    std::string w;
    if (!fileName.empty()) w = "\"" + fileName + "\"";
    if (lineNumber > 0) w += (w.empty() ? "line " : ", line ") + std::to_string(lineNumber);
    return w.empty() ? w : w + ": ";
}

[[noreturn]] void BadNumber(std::string_view digits, const std::string& fileName, long lineNumber) {
    throw EConvertError(Where(fileName, lineNumber) + "'" + PrintableText(digits) +
                        "' is not a valid hexadecimal number");
}

// Value of `n` hex digits at `p`; the caller has made sure they are there.
unsigned HexField(const char* p, size_t n, const std::string& fileName, long lineNumber) {
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) {
        const int d = HexDigitValue(p[i]);
        if (d < 0) BadNumber(std::string_view(p, n), fileName, lineNumber);
        v = v * 16 + static_cast<unsigned>(d);
    }
    return v;
}

#if defined(__SSE2__)
// Sixteen digits into eight bytes at `out`; false when any of them is not a hexadecimal digit.
// Returns the bytes' sum through `sum`.
inline bool DecodeSixteen(const char* p, uint8_t* out, unsigned& sum) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i digit = _mm_sub_epi8(c, _mm_set1_epi8('0'));
    const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
    const __m128i letter = _mm_sub_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
    if (_mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)) != 0xFFFF) return false;
    const __m128i value = _mm_or_si128(_mm_and_si128(isDigit, digit),
                                       _mm_and_si128(isLetter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
    // Each 16-bit lane holds a pair, its first digit in the low byte.
    const __m128i bytes = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(value, _mm_set1_epi16(0xFF)), 4),
                                       _mm_srli_epi16(value, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(bytes, bytes));
    const __m128i sums = _mm_sad_epu8(bytes, _mm_setzero_si128());
    sum += static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
    return true;
}
#endif

// The first pair at `p` that is not two hexadecimal digits, reported as it stands.
[[noreturn]] void BadPair(const char* p, const std::string& fileName, long lineNumber) {
    while ((HexDigitValue(p[0]) | HexDigitValue(p[1])) >= 0) p += 2;
    BadNumber(std::string_view(p, 2), fileName, lineNumber);
}

// `count` bytes from the digit pairs at `p` into `out`; returns their sum. Eight pairs at a time
// where the processor allows, the last eight overlapping the ones before: a 12 MB file has to be
// read within a fraction of one 50 ms tick.
inline unsigned DecodePairs(const char* p, size_t count, uint8_t* out, const std::string& fileName,
                            long lineNumber) {
    unsigned sum = 0;
    size_t i = 0;
#if defined(__SSE2__)
    if (count >= 8) {
        for (; i + 8 <= count; i += 8)
            if (!DecodeSixteen(p + 2 * i, out + i, sum)) BadPair(p, fileName, lineNumber);
        if (i < count) {
            const size_t from = count - 8;
            for (size_t k = from; k < i; ++k) sum -= out[k];  // counted already, about to be again
            if (!DecodeSixteen(p + 2 * from, out + from, sum)) BadPair(p, fileName, lineNumber);
        }
        return sum;
    }
#endif
    int bad = 0;
    for (; i < count; ++i) {
        const int hi = HexDigits.Value[static_cast<unsigned char>(p[2 * i])];
        const int lo = HexDigits.Value[static_cast<unsigned char>(p[2 * i + 1])];
        bad |= hi | lo;  // negative once any digit was not one
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
        sum += out[i];
    }
    if (bad < 0) BadPair(p, fileName, lineNumber);
    return sum;
}

// A record's bytes after the ':': count, address (2), type, data and checksum.
struct TRecordBytes {
    uint8_t Byte[4 + 255 + 1];
    unsigned Count() const { return Byte[0]; }
    unsigned Offset() const { return static_cast<unsigned>(Byte[1]) << 8 | Byte[2]; }
    const uint8_t* Data() const { return Byte + 4; }
};

// Reads a whole record in one pass over its digits, summing on the way. Its bytes and checksum
// must add up to 0 modulo 256: a corrupted file is refused before any of it reaches the unit.
void ReadCheckedRecord(const char* text, size_t length, TRecordBytes& r, const std::string& fileName,
                       long lineNumber) {
    const unsigned count = HexField(text + 1, 2, fileName, lineNumber);
    const size_t end = 9 + 2 * static_cast<size_t>(count);
    if (length < end + 2) {
        throw EConvertError(Where(fileName, lineNumber) + "the record announces " + std::to_string(count) +
                            " data bytes and a checksum but holds only " + std::to_string(length - 9) +
                            " digits after its type");
    }
    const unsigned sum = DecodePairs(text + 1, count + 5, r.Byte, fileName, lineNumber);
    if ((sum & 0xFF) != 0) {
        const unsigned given = r.Byte[count + 4];
        throw EConvertError(Where(fileName, lineNumber) + "record checksum " + HexText(given, 2) +
                            " is wrong, the record's bytes give " + HexText((given - sum) & 0xFF, 2));
    }
}

// A data record taken without its checksum (a bootstrap line whatever its type digit says).
void ReadUncheckedData(const char* text, size_t length, TRecordBytes& r, const std::string& fileName,
                       long lineNumber) {
    const unsigned count = HexField(text + 1, 2, fileName, lineNumber);
    const unsigned offset = HexField(text + 3, 4, fileName, lineNumber);
    if (length < 9 + 2 * static_cast<size_t>(count)) {
        throw EConvertError(Where(fileName, lineNumber) + "the record announces " + std::to_string(count) +
                            " data bytes but holds only " + std::to_string((length - 9) / 2));
    }
    r.Byte[0] = static_cast<uint8_t>(count);
    r.Byte[1] = static_cast<uint8_t>(offset >> 8);
    r.Byte[2] = static_cast<uint8_t>(offset);
    DecodePairs(text + 9, count, r.Byte + 4, fileName, lineNumber);
}

// A base record's value: the (up to) four characters at positions 10-13; none at all count as 0.
uint64_t BaseValue(const std::string& text, const std::string& fileName, long lineNumber) {
    if (text.empty()) return 0;
    return HexField(text.data(), text.size(), fileName, lineNumber);
}

// Positions 10-13 of a line of at least 9 characters.
std::string BaseText(const char* text, size_t length) {
    return std::string(text + 9, std::min<size_t>(length - 9, 4));
}

}  // namespace

void THexReader::Reset() {
    SegmentBase.clear();
    LinearBase.clear();
    segmentValue_ = 0;
    linearValue_ = 0;
    LastLineSent = false;
    sawRecord_ = false;
    sawText_ = false;
}

bool THexReader::ProcessLine(const char* text, size_t length, TBinaryImage& image, const std::string& fileName,
                             long lineNumber, bool checkSum) {
    // Shorter than a record header (a blank line, a stray CR): nothing to act on.
    if (length < 9) return true;
    TRecordBytes r;
    if (checkSum) ReadCheckedRecord(text, length, r, fileName, lineNumber);
    else if (text[8] == '0') ReadUncheckedData(text, length, r, fileName, lineNumber);
    switch (text[8]) {
    case '0':
        image.Write(linearValue_ * 65536 + segmentValue_ * 16 + r.Offset(), r.Data(), r.Count());
        return true;
    case '1':
        LastLineSent = true;
        return false;
    case '2':
        SegmentBase = BaseText(text, length);
        segmentValue_ = BaseValue(SegmentBase, fileName, lineNumber);
        return true;
    case '4':
        LinearBase = BaseText(text, length);
        linearValue_ = BaseValue(LinearBase, fileName, lineNumber);
        return true;
    default:  // start addresses (03, 05) and anything else
        return true;
    }
}

void THexReader::NoteLine(const char* text, size_t length) {
    if (length > 0) sawText_ = true;
    if (length > 0 && text[0] == ':') sawRecord_ = true;
}

void THexReader::RefuseIfNotHex(const std::string& fileName, long lineNumber) const {
    // Release notes or a README saved under a HEX name would otherwise be refused for a "bad
    // hexadecimal number" in their first words, which sends the user looking for a corrupt record.
    if (sawRecord_ || !sawText_) return;
    std::string what = fileName.empty() ? std::string("the input") : "\"" + fileName + "\"";
    what += " is not an Intel HEX file: ";
    if (lineNumber <= 0) what += "no line starts with ':'";
    else if (lineNumber == 1) what += "its first line does not start with ':'";
    else what += "none of its first " + std::to_string(lineNumber) + " lines starts with ':'";
    throw EConvertError(what);
}

void THexReader::RefuseIfIncomplete(const std::string& fileName) const {
    RefuseIfNotHex(fileName, 0);
    if (!sawText_) throw EConvertError(Where(fileName, 0) + "the file is empty");
    // A file cut short (a copy or a download that stopped) reads as a valid, smaller image; only
    // the missing end record tells.
    if (!LastLineSent)
        throw EConvertError(Where(fileName, 0) + "the file is incomplete: it ends without an end-of-file record (" +
                            ":00000001FF)");
}

void THexReader::HexToBinary(const std::function<bool(std::string& line)>& nextLine, TBinaryImage& image,
                             const std::string& fileName) {
    Reset();
    std::string line;
    long lineNumber = 0;
    try {
        while (nextLine(line)) {
            ++lineNumber;
            size_t n = line.size();
            while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) --n;
            NoteLine(line.data(), n);
            if (!ProcessLine(line.data(), n, image, fileName, lineNumber, true)) break;
        }
    } catch (const EConvertError&) {
        RefuseIfNotHex(fileName, lineNumber);
        throw;
    }
    RefuseIfIncomplete(fileName);
}

void THexReader::HexToBinaryFile(const std::string& fileName, TBinaryImage& image, FileIo::TInputDigest* digest) {
    Reset();
    // One pass over the file in pieces: a 4 MiB image from a ~12 MB file has to fit into a single
    // 50 ms tick.
    FileIo::TLineReader lines(fileName, FileIo::MaxInputFileSize, digest);
    std::string_view line;
    long lineNumber = 0;
    try {
        while (lines.Next(line)) {
            ++lineNumber;
            NoteLine(line.data(), line.size());
            if (!ProcessLine(line.data(), line.size(), image, fileName, lineNumber, true)) break;
        }
    } catch (const EConvertError&) {
        lines.DigestRest();
        RefuseIfNotHex(fileName, lineNumber);
        throw;
    }
    lines.DigestRest();
    RefuseIfIncomplete(fileName);
}

void THexReader::WriteDataRecord(const std::string& line, TBinaryImage& image) {
    // The bases as text are what counts here, whoever set them.
    linearValue_ = BaseValue(LinearBase, {}, 0);
    segmentValue_ = BaseValue(SegmentBase, {}, 0);
    if (line.size() < 9) return;
    std::string record = line;
    record[8] = '0';  // taken as a data record whatever its type digit says, so its sum no longer holds
    ProcessLine(record.data(), record.size(), image, {}, 0, false);
}
