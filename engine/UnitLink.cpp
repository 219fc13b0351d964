#include "engine/UnitLink.h"

#include "base/Hex.h"
#include "records/Capture.h"
#include "engine/Progress.h"
#include "engine/UnitPort.h"

namespace {

// How far past the start of the expected text the line end may lie, and how much of what follows a
// reply is kept for the next wait.
constexpr std::string::size_type kReplyWindow = 125;

}  // namespace

TUnitLink::TUnitLink(TUnitPort& serial, TCaptureFile* capture) : serial_(serial), capture_(capture) {}

void TUnitLink::Capture(const std::string& text, const std::string& tag) {
    if (!capture_ || !capture_->CaptureOn()) return;
    try {
        capture_->WriteCapture(text, tag);
    } catch (const std::exception& e) {
        // A record that cannot be written must not cost the command its sending or the received
        // bytes their place in the buffer.
        if (!OnCaptureError) throw;
        OnCaptureError(e);
    }
}

void TUnitLink::ReadMessage() {
    std::string received;
    serial_.ReadString(received);
    RxBuffer += received;
    if (RxBuffer.size() > kRxLimit) RxBuffer.erase(0, RxBuffer.size() - kRxLimit);
    // The whole buffer while it is short: the capture then shows each line as it grows.
    Capture(RxBuffer.size() <= kCaptureWholeLimit ? RxBuffer : received, "[in]");
}

void TUnitLink::Serial1Message(const std::string& RxMessage) {
    RxBuffer = RxMessage;
    Capture(RxBuffer, "[in]");
}

TReplyWait TUnitLink::Await(const std::string& Expected, char Terminator, std::string& Reply) {
    if (CountTries) ++WaitCount;
    Reply.clear();
    // The last try gives up without looking, even when the answer is in the buffer.
    if (CountTries && WaitCount >= WaitLimit) return TReplyWait::GaveUp;
    // An empty key never matches, as a substring search for nothing finds no position.
    if (Expected.empty()) return TReplyWait::Waiting;
    const auto keyAt = RxBuffer.find(Expected);
    if (keyAt == std::string::npos) return TReplyWait::Waiting;
    // The line end is looked for after the key, so a key that itself holds one is never cut.
    const auto lineEnd = RxBuffer.substr(keyAt, kReplyWindow).find(Terminator, Expected.size());
    if (lineEnd == std::string::npos) return TReplyWait::Waiting;
    const auto afterEnd = keyAt + lineEnd + 1;
    // Everything before the key (a line end left from the previous line, an echo) belongs to the
    // reply; the state that follows tells fragments apart by it.
    Reply = RxBuffer.substr(0, afterEnd);
    RxBuffer = RxBuffer.substr(afterEnd, kReplyWindow);
    return TReplyWait::Arrived;
}

TReplyWait TUnitLink::AwaitReply(const std::string& Expected, std::string& Reply) {
    return Await(Expected, '\r', Reply);
}

TReplyWait TUnitLink::AwaitReplyLF(const std::string& Expected, std::string& Reply) {
    return Await(Expected, '\n', Reply);
}

void TUnitLink::SendCommand(const std::string& Addr, const std::string& Cmd, bool WithAddress) {
    // Anything received before the command cannot be its answer.
    RxBuffer.clear();
    std::string text = WithAddress ? "<" + Addr + "/" + Cmd : Cmd;
    text += '\r';
    Capture(text, "[out]");
    // One write: the unit sees the same bytes back to back as from a write per byte, and the
    // program is spared a system call per character.
    serial_.WriteChars(text);
}

void TUnitLink::SendHexBytes(const std::string& Hex) {
    if (Hex.empty()) return;
    RxBuffer.clear();
    Capture(Hex, "[out]");
    std::string bytes;
    bytes.reserve(Hex.size() / 2);
    try {
        for (std::string::size_type i = 0; i + 1 < Hex.size(); i += 2)
            bytes += static_cast<char>(HexValue(Hex.substr(i, 2)));
    } catch (...) {
        // A pair that is not hexadecimal stops here; the bytes before it still go out.
        serial_.WriteChars(bytes);
        throw;
    }
    serial_.WriteChars(bytes);
}

void TUnitLink::SendByte(int Value) {
    serial_.WriteChar(static_cast<char>(static_cast<unsigned char>(Value)));
}

int TUnitLink::CharCode(const std::string& S) {
    return S.size() == 1 ? static_cast<unsigned char>(S[0]) : 0;
}

void TUnitLink::SendWakeUp() {
    serial_.WriteString("U");
    Capture("U", "[out]");
}

void TUnitLink::SendZeroByte() {
    serial_.WriteChar('\0');
    Capture("char 0", "[out]");
}

void TUnitLink::SendBlock(const std::string& block, bool again) {
    RxBuffer.clear();
    if (again) Capture("resend", "[out]");
    if (capture_ && capture_->CaptureOn())
        for (const auto& [tag, text] : DumpBlockLines(block)) Capture(text, tag);
    serial_.WriteChars(block);
}
