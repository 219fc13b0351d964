#include "firmware/IntelHex.h"

#include <cstring>
#include <string_view>

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
    throw EConvertError(Where(fileName, lineNumber) + "'" + std::string(digits) +
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

// A record's bytes after the ':' (count, address, type, data) and its checksum must add up to 0
// modulo 256: a corrupted file is refused before any of it reaches the unit.
void CheckRecordSum(const char* text, size_t length, const std::string& fileName, long lineNumber) {
    const unsigned count = HexField(text + 1, 2, fileName, lineNumber);
    const size_t end = 9 + 2 * static_cast<size_t>(count);
    if (length < end + 2) {
        throw EConvertError(Where(fileName, lineNumber) + "the record announces " + std::to_string(count) +
                            " data bytes and a checksum but holds only " + std::to_string(length - 9) +
                            " digits after its type");
    }
    unsigned sum = 0;
    for (size_t i = 1; i < end + 2; i += 2) sum += HexField(text + i, 2, fileName, lineNumber);
    if ((sum & 0xFF) != 0) {
        const unsigned given = HexField(text + end, 2, fileName, lineNumber);
        throw EConvertError(Where(fileName, lineNumber) + "record checksum " + HexText(given, 2) +
                            " is wrong, the record's bytes give " + HexText((given - sum) & 0xFF, 2));
    }
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
}

bool THexReader::ProcessLine(const char* text, size_t length, TBinaryImage& image, const std::string& fileName,
                             long lineNumber, bool checkSum) {
    // Shorter than a record header (a blank line, a stray CR): nothing to act on.
    if (length < 9) return true;
    if (checkSum) CheckRecordSum(text, length, fileName, lineNumber);
    switch (text[8]) {
    case '0': {
        const unsigned count = HexField(text + 1, 2, fileName, lineNumber);
        const unsigned offset = HexField(text + 3, 4, fileName, lineNumber);
        if (length < 9 + 2 * static_cast<size_t>(count)) {
            throw EConvertError(Where(fileName, lineNumber) + "the record announces " + std::to_string(count) +
                                " data bytes but holds only " + std::to_string((length - 9) / 2));
        }
        uint8_t data[255];
        const char* p = text + 9;
        for (unsigned i = 0; i < count; ++i, p += 2) {
            const int hi = HexDigitValue(p[0]);
            const int lo = HexDigitValue(p[1]);
            if ((hi | lo) < 0) BadNumber(std::string_view(p, 2), fileName, lineNumber);
            data[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
        image.Write(linearValue_ * 65536 + segmentValue_ * 16 + offset, data, count);
        return true;
    }
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

void THexReader::HexToBinary(const std::function<bool(std::string& line)>& nextLine, TBinaryImage& image,
                             const std::string& fileName) {
    Reset();
    std::string line;
    long lineNumber = 0;
    while (nextLine(line)) {
        ++lineNumber;
        size_t n = line.size();
        while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) --n;
        if (!ProcessLine(line.data(), n, image, fileName, lineNumber, true)) break;
    }
    image.Flush();
}

void THexReader::HexToBinaryFile(const std::string& fileName, TBinaryImage& image) {
    Reset();
    // One read of the whole file and one pass over it in memory: a 4 MiB image from a ~12 MB file
    // has to fit into a single 50 ms tick.
    const FileIo::TFileContent data(fileName);
    const char* p = data.Data();
    const char* const end = p + data.Size();
    long lineNumber = 0;
    while (p < end) {
        ++lineNumber;
        // A line ends at CR, LF or CR LF, whichever the tool that wrote the file used.
        const char* stop = p;
        while (stop < end && *stop != '\n' && *stop != '\r') ++stop;
        const char* next = stop;
        if (next < end && *next == '\r') ++next;
        if (next < end && *next == '\n' && (next == stop || next[-1] == '\r')) ++next;
        if (!ProcessLine(p, static_cast<size_t>(stop - p), image, fileName, lineNumber, true)) break;
        p = next;
    }
    image.Flush();
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
