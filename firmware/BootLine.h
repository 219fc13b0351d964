// The bootstrap image's records as they go on the wire to the C161's loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TBootLineState {
    int HexLineIndex = -1;     // index of the line last taken
    int LineCount = 0;         // number shown in "Sending line N..."
    bool LastLineSent = false; // the end-of-file record has been taken
    std::string HexToSend;     // pairs of hex digits to send
};

// Takes the next record of `lines`, fills state.HexToSend and returns the expected reply byte
// (0 when nothing was prepared). `taken` receives the line when one is taken (for "[mem]").
uint8_t PrepareBootLine(const std::vector<std::string>& lines, TBootLineState& state,
                        std::string* taken = nullptr);
