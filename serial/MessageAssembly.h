// Framing of received bytes into messages for the rxMessage mode: start character, body, end
// character, then a fixed number of trailing characters. Kept free of any port so it can be
// driven byte by byte from tests as well as from the receive thread.
#pragma once

#include <cstdint>
#include <string>

struct TMessageAssembly {
    // 0 = no message begun, 1 = inside a message, 2 = end seen and taking trailing characters,
    // 3 = message delivered (behaves as 0). These survive a close and reopen of the port.
    uint8_t FMsgState = 0;
    uint16_t FAppendLeft = 0;
    // The message from its start character on; after delivery it still holds the delivered
    // message until the next start character replaces it.
    std::string FRxMessage;

    // Takes one received byte. Returns true when this byte completed a message, which is then
    // in FRxMessage.
    bool Feed(char Ch, char StartChar, char EndChar, uint16_t AppendCount);
};
