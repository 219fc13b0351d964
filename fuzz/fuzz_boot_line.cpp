// The bootstrap records as they go to the C161's loader, from any lines. Every data record, and
// every end or linear base record of the form the image has (address 0000, a base's high byte 00:
// the loader is sent neither), with a right checksum is acknowledged with minus the sum of the
// bytes sent, which are whole hex pairs. The walk ends at the end record or the end of the lines,
// never repeats a record and never runs away.
#include <cstdint>
#include <string>
#include <vector>

#include "base/Hex.h"
#include "base/RunError.h"
#include "firmware/BootLine.h"
#include "fuzz/FuzzSupport.h"

namespace {

// The lines of the input. A line of hex digits after a ':' gets its right checksum when it starts
// with ':', so that the mutations keep reaching well-formed records; '!' keeps what was given.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t lf = text.find('\n', start);
        if (lf == std::string::npos) lf = text.size();
        std::string line = text.substr(start, lf - start);
        start = lf + 1;
        if (line.size() >= 11 && line[0] == ':' && line.size() % 2 == 1) {
            try {
                const std::string bytes = BytesOfHex(std::string_view(line).substr(1, line.size() - 3));
                unsigned sum = 0;
                for (unsigned char b : bytes) sum += b;
                line = line.substr(0, line.size() - 2) + HexText((0x100 - (sum & 0xFF)) & 0xFF, 2);
            } catch (const EConvertError&) {
            }
        } else if (!line.empty() && line[0] == '!') {
            line[0] = ':';
        }
        lines.push_back(line);
    }
    return lines;
}

bool RightRecord(const std::string& line) {
    if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return false;
    try {
        const std::string bytes = BytesOfHex(std::string_view(line).substr(1));
        unsigned sum = 0;
        for (unsigned char b : bytes) sum += b;
        const unsigned count = static_cast<uint8_t>(bytes[0]);
        if ((sum & 0xFF) != 0 || bytes.size() != count + 5) return false;
        switch (bytes[3]) {
        case 0: return true;
        case 1: return count == 0 && bytes[1] == 0 && bytes[2] == 0;
        case 4: return count == 2 && bytes[1] == 0 && bytes[2] == 0 && bytes[4] == 0;
        default: return false;  // the loader is given data, end and linear base records only
        }
    } catch (const EConvertError&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> lines = Lines(std::string(reinterpret_cast<const char*>(data), size));
    TBootLineState state;
    int lastIndex = -1;
    for (size_t step = 0; step <= lines.size() + 1; ++step) {
        std::string taken;
        uint8_t ack = 0;
        try {
            ack = PrepareBootLine(lines, state, &taken);
        } catch (const EConvertError&) {
            return 0;  // a record whose checksum is not hex: the factory job stops with its message
        }
        FUZZ_CHECK(state.HexLineIndex > lastIndex);
        lastIndex = state.HexLineIndex;
        if (taken.empty() && state.HexToSend.empty()) {
            FUZZ_CHECK(state.LastLineSent);
            return 0;
        }
        if (RightRecord(taken)) {
            FUZZ_CHECK(state.HexToSend.size() % 2 == 0);
            unsigned sent = 0;
            for (unsigned char b : BytesOfHex(state.HexToSend)) sent += b;  // throws (a crash) on a bad pair
            FUZZ_CHECK(ack == ((0x100 - (sent & 0xFF)) & 0xFF));
        }
        if (state.LastLineSent) return 0;
    }
    fuzz::Fail("the walk did not end");
}
