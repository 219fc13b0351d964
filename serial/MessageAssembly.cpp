#include "serial/MessageAssembly.h"

bool TMessageAssembly::Feed(char Ch, char StartChar, char EndChar, uint16_t AppendCount) {
    if (FMsgState == 2) {
        // Trailing characters are data, whatever they are: a checksum may well equal a framing byte.
        FRxMessage.push_back(Ch);
        if (FAppendLeft > 0) --FAppendLeft;
        if (FAppendLeft == 0) {
            FMsgState = 3;
            return true;
        }
        return false;
    }
    // The start character is tested first, so a start character equal to the end character
    // always begins a message.
    if (Ch == StartChar) {
        FMsgState = 1;
        FRxMessage.assign(1, Ch);
        return false;
    }
    if (FMsgState != 1) return false;   // outside a message only a start character counts
    FRxMessage.push_back(Ch);
    if (Ch == EndChar) {
        if (AppendCount == 0) {
            FMsgState = 3;
            return true;
        }
        FMsgState = 2;
        FAppendLeft = AppendCount;
    }
    return false;
}
