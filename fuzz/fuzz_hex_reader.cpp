// Intel HEX text into a binary image, two ways: line by line through HexToBinary and as a whole file
// through HexToBinaryFile. Both must agree on the image and on the error, and neither may write
// outside the image. Then every line goes through WriteDataRecord, with bases taken from lines
// that begin with 'L' (linear) or 'S' (segment).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/BinaryImage.h"
#include "firmware/IntelHex.h"
#include "base/RunError.h"
#include "fuzz/FuzzSupport.h"

namespace {

// The lines as the file reader sees them: ended by CR, LF or CR LF.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

struct TOutcome {
    std::string error;  // "" when the conversion went through
    std::vector<uint8_t> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto dir = fuzz::Scratch().Path();
    const std::string hexName = (dir / "input.h86").string();
    const std::vector<std::string> lines = Lines(text);
    const size_t expectedSize = static_cast<size_t>(FactoryImageChunks) * 128;

    TOutcome byLine, byFile;
    {
        TBinaryImage image;
        image.EmptyBinaryFile((dir / "a.bin").string(), FactoryImageChunks);
        THexReader reader;
        size_t next = 0;
        try {
            reader.HexToBinary(
                [&](std::string& line) {
                    if (next >= lines.size()) return false;
                    line = lines[next++];
                    return true;
                },
                image, hexName);
        } catch (const EConvertError& e) {
            byLine.error = e.what();
        }
        FUZZ_CHECK(image.Bytes().size() == expectedSize);
        byLine.bytes = image.Bytes();
    }
    {
        fuzz::WriteFile(hexName, text);
        TBinaryImage image;
        image.EmptyBinaryFile((dir / "b.bin").string(), FactoryImageChunks);
        THexReader reader;
        try {
            reader.HexToBinaryFile(hexName, image);
        } catch (const EConvertError& e) {
            byFile.error = e.what();
        }
        FUZZ_CHECK(image.Bytes().size() == expectedSize);
        byFile.bytes = image.Bytes();
    }
    FUZZ_CHECK(byLine.error == byFile.error);
    FUZZ_CHECK(byLine.bytes == byFile.bytes);

    TBinaryImage image;
    image.EmptyBinaryFile((dir / "c.bin").string(), FactoryImageChunks);
    THexReader reader;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == 'L') {
            reader.LinearBase = line.substr(1, 4);
            continue;
        }
        if (!line.empty() && line[0] == 'S') {
            reader.SegmentBase = line.substr(1, 4);
            continue;
        }
        try {
            reader.WriteDataRecord(line, image);
        } catch (const EConvertError&) {
        }
        FUZZ_CHECK(image.Bytes().size() == expectedSize);
    }
    return 0;
}
