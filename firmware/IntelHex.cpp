#include "firmware/IntelHex.h"

#include <cstring>
#include <string_view>

#include "firmware/FileIo.h"
#include "firmware/RunError.h"

namespace {

struct THexDigits {
    int8_t value[256];
    constexpr THexDigits() : value() {
        for (int i = 0; i < 256; ++i) value[i] = -1;
        for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<int8_t>(i);
        for (int i = 0; i < 6; ++i) {
            value['A' + i] = static_cast<int8_t>(10 + i);
            value['a' + i] = static_cast<int8_t>(10 + i);
        }
    }
};
constexpr THexDigits kHex;

std::string Where(const std::string& fileName, long lineNumber) {
    std::string w;
    if (!fileName.empty()) w = "\"" + fileName + "\"";
    if (lineNumber > 0) w += (w.empty() ? "line " : ", line ") + std::to_string(lineNumber);
    return w.empty() ? w : w + ": ";
}

[[noreturn]] void BadNumber(std::string_view digits, const std::string& fileName, long lineNumber) {
    throw EConvertError(Where(fileName, lineNumber) + "'" + std::string(digits) +
                            "' is not a valid hexadecimal number",
                        fileName, lineNumber);
}

// Value of `n` hex digits at `p`; the caller has made sure they are there.
unsigned HexField(const char* p, size_t n, const std::string& fileName, long lineNumber) {
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) {
        const int d = kHex.value[static_cast<unsigned char>(p[i])];
        if (d < 0) BadNumber(std::string_view(p, n), fileName, lineNumber);
        v = v * 16 + static_cast<unsigned>(d);
    }
    return v;
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

TInputNames SplitInputFileName(const std::string& inputFileName) {
    TInputNames names;
    // The first '.' of the whole name decides, as the unit's tools always did: no '.' means
    // position 0, so the "extension" is then the name's first three characters.
    const size_t dot = inputFileName.find('.');
    const size_t p = dot == std::string::npos ? 0 : dot + 1;  // 1-based position, 0 if none
    names.InputExt = inputFileName.substr(p, 3);
    for (char& c : names.InputExt)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    names.BaseName = p == 0 ? std::string() : inputFileName.substr(0, p - 1);
    names.BinFileName = names.BaseName + ".BIN";
    names.ZupFileName = names.BaseName + ".ZUP";
    switch (InputKind(names.InputExt)) {
    case TInputKind::Binary: names.BinFileName = inputFileName; break;
    case TInputKind::Upload: names.ZupFileName = inputFileName; break;
    default: break;
    }
    return names;
}

TInputKind InputKind(const std::string& inputExt) {
    if (inputExt == "H86" || inputExt == "MCS") return TInputKind::IntelHex;
    if (inputExt == "BIN") return TInputKind::Binary;
    if (inputExt == "ZUP") return TInputKind::Upload;
    return TInputKind::Unknown;
}

void THexReader::Reset() {
    SegmentBase.clear();
    LinearBase.clear();
    segmentValue_ = 0;
    linearValue_ = 0;
    LastLineSent = false;
}

bool THexReader::ProcessLine(const char* text, size_t length, TBinaryImage& image, const std::string& fileName,
                             long lineNumber) {
    // Shorter than a record header (a blank line, a stray CR): nothing to act on.
    if (length < 9) return true;
    switch (text[8]) {
    case '0': {
        const unsigned count = HexField(text + 1, 2, fileName, lineNumber);
        const unsigned offset = HexField(text + 3, 4, fileName, lineNumber);
        if (length < 9 + 2 * static_cast<size_t>(count)) {
            throw EConvertError(Where(fileName, lineNumber) + "the record announces " + std::to_string(count) +
                                    " data bytes but holds only " + std::to_string((length - 9) / 2),
                                fileName, lineNumber);
        }
        uint8_t data[255];
        const char* p = text + 9;
        for (unsigned i = 0; i < count; ++i, p += 2) {
            const int hi = kHex.value[static_cast<unsigned char>(p[0])];
            const int lo = kHex.value[static_cast<unsigned char>(p[1])];
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
        if (!ProcessLine(line.data(), n, image, fileName, lineNumber)) break;
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
        const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* next = eol ? eol + 1 : end;
        const char* stop = eol ? eol : end;
        while (stop > p && stop[-1] == '\r') --stop;
        if (!ProcessLine(p, static_cast<size_t>(stop - p), image, fileName, lineNumber)) break;
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
    record[8] = '0';  // taken as a data record whatever its type digit says
    ProcessLine(record.data(), record.size(), image, {}, 0);
}
