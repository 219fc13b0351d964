#include "firmware/BootLine.h"

#include "base/Hex.h"

uint8_t PrepareBootLine(const std::vector<std::string>& lines, TBootLineState& state, std::string* taken) {
    ++state.LineCount;
    ++state.HexLineIndex;
    if (state.LastLineSent) return 0;

    for (;;) {
        if (state.HexLineIndex < 0 || static_cast<size_t>(state.HexLineIndex) >= lines.size()) {
            // The image ran out without an end-of-file record: nothing is left to send, so end
            // here rather than send the previous record once more.
            state.HexToSend.clear();
            state.LastLineSent = true;
            return 0;
        }
        const std::string& line = lines[static_cast<size_t>(state.HexLineIndex)];
        const size_t n = line.size();
        const char type = n >= 9 ? line[8] : '\0';
        if (type == '0' || type == '1' || type == '4') {
            if (taken) *taken = line;
            unsigned result = static_cast<unsigned>(HexValue(line.substr(n - 2)));
            if (type == '0') {
                state.HexToSend = "00" + line.substr(1, 6) + (n > 11 ? line.substr(9, n - 11) : std::string());
            } else if (type == '1') {
                state.HexToSend = "01";
                state.LastLineSent = true;
            } else {
                // The byte count (0x02) and the base's high byte (0x00) are not sent, so the
                // loader's sum comes out 2 above the record's own checksum.
                state.HexToSend = "04" + (n > 11 ? line.substr(11, 2) : std::string());
                result = (result + 2) % 256;
            }
            return static_cast<uint8_t>(result);
        }
        // A record the loader has no use for (never in the built-in image): pass over it, keeping
        // the shown number equal to the number of the line taken.
        ++state.LineCount;
        ++state.HexLineIndex;
    }
}
