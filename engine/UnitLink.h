// The engine's side of the serial link: the buffer of received text, the per-tick reply waits, the
// framing of commands and the sending of raw bytes. Every byte to the unit goes out here, and is
// recorded in the capture file here. No widgets.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "engine/Protocol.h"

class TUnitPort;
class TCaptureFile;

enum class TReplyWait { Waiting, Arrived, GaveUp };

class TUnitLink {
public:
    TUnitLink(TUnitPort& serial, TCaptureFile* capture);

    // Received bytes kept beyond this are the oldest and are dropped: a unit (or a line at the
    // wrong speed) that never ends a line must not grow the buffer without bound. A reply wait
    // looks at most kReplyWindow bytes past its key, so this keeps every reply that can match.
    static constexpr std::string::size_type kRxLimit = 4096;
    // Up to this length the whole buffer is recorded at every arrival, so the capture shows each
    // line as it grows; past it only the new bytes are, so the capture grows with what arrives.
    static constexpr std::string::size_type kCaptureWholeLimit = 256;

    std::string RxBuffer;  // everything received and not yet consumed; any byte value
    int WaitCount = 0;
    int WaitLimit = Protocol::kDefaultReplyTicks;
    // Off while a step runs because bytes arrived rather than because the tick came: such a run
    // is not a try, and the last try's give-up is left to the ticks.
    bool CountTries = true;

    // OnRxData handler: appends what is waiting and records it with "[in]".
    void ReadMessage();
    // OnMessage handler (rxMessage mode only): RxBuffer := RxMessage, recorded with "[in]".
    void Serial1Message(const std::string& RxMessage);

    // One try per tick for a reply holding `Expected` and ending in CR (LF): Arrived sets Reply
    // and cuts it from RxBuffer; GaveUp is the last try, which gives up without looking.
    TReplyWait AwaitReply(const std::string& Expected, std::string& Reply);
    TReplyWait AwaitReplyLF(const std::string& Expected, std::string& Reply);

    // "<" Addr "/" Cmd CR, or Cmd CR; empties RxBuffer first; its bytes back to back.
    void SendCommand(const std::string& Addr, const std::string& Cmd, bool WithAddress);
    // One byte per pair of hex digits; empties RxBuffer first (unless Hex is empty). Throws
    // EConvertError at a pair that is not hexadecimal, after sending the bytes before it.
    void SendHexBytes(const std::string& Hex);
    void SendByte(int Value);
    // The boot code's wake-up character "U", one write.
    void SendWakeUp();
    // The C161 bootstrap loader's zero byte, one write.
    void SendZeroByte();
    // A 135-byte upload block, its bytes back to back, its dump recorded first; `again` records that it
    // goes out again after the unit fell silent. Empties RxBuffer first.
    void SendBlock(const std::string& block, bool again = false);
    static int CharCode(const std::string& S);

    // Called when a capture line cannot be written (capture is then already off). Without it the
    // failure is thrown to the caller.
    std::function<void(const std::exception&)> OnCaptureError;

private:
    TReplyWait Await(const std::string& Expected, char Terminator, std::string& Reply);
    void Capture(const std::string& text, const std::string& tag);

    TUnitPort& serial_;
    TCaptureFile* capture_;
};
