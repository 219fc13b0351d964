// The main window's side of the serial link: the buffer of received text, the per-tick reply
// waits, the framing of commands and the sending of raw bytes. No widgets.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

class TSerial;
class TCaptureFile;

class TUnitLink {
public:
    TUnitLink(TSerial& serial, TCaptureFile* capture);

    std::string RxBuffer;  // everything received and not yet consumed; any byte value
    int WaitCount = 0;
    int WaitLimit = 8;

    // OnRxData handler: appends what is waiting; records the whole buffer with "[in]".
    void ReadMessage(TSerial& Sender);
    // OnMessage handler (rxMessage mode only): RxBuffer := RxMessage, recorded with "[in]".
    void Serial1Message(TSerial& Sender, const std::string& RxMessage);

    // One try per tick; may set Reply, cut RxBuffer and change uploadState.
    void AwaitReply(const std::string& Expected, int FailState, std::string& Reply, int NextState,
                    int32_t& uploadState);
    void AwaitReplyLF(const std::string& Expected, int FailState, std::string& Reply, int NextState,
                      int32_t& uploadState);

    // "<" Addr "/" Cmd CR, or Cmd CR; empties RxBuffer first; one write per byte.
    void SendCommand(const std::string& Addr, const std::string& Cmd, bool WithAddress);
    // One byte per pair of hex digits; empties RxBuffer first (unless Hex is empty). Throws
    // EConvertError at a pair that is not hexadecimal, after sending the bytes before it.
    void SendHexBytes(const std::string& Hex);
    void SendByte(int Value);
    static int CharCode(const std::string& S);

    // Called when a capture line cannot be written (capture is then already off). Without it the
    // failure is thrown to the caller.
    std::function<void(const std::exception&)> OnCaptureError;

private:
    void Await(const std::string& Expected, char Terminator, int FailState, std::string& Reply,
               int NextState, int32_t& uploadState);
    void Capture(const std::string& text, const std::string& tag);

    TSerial& serial_;
    TCaptureFile* capture_;
};
