// The per-tick reply waits on arbitrary received text. Input: one byte of flags (bit 0 = LF wait,
// bits 1-3 = wait limit), one byte key length, the key, then chunks of received text separated by
// 0xFF bytes, each chunk appended to RxBuffer before one wait. A reply, when there is one, is a
// prefix of the buffer that holds the key and ends with the terminator; without one nothing moves.
#include <cstdint>
#include <string>

#include "engine/UnitLink.h"
#include "tests/support/LinkWait.h"
#include "fuzz/FuzzSupport.h"
#include "engine/SerialPort.h"

namespace {
constexpr int kWaiting = 1, kFail = 2, kNext = 3;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const bool lf = input[0] & 1;
    const int limit = (static_cast<uint8_t>(input[0]) >> 1 & 7) + 1;
    const size_t keyLen = static_cast<uint8_t>(input[1]) % 16;
    const std::string key = input.substr(2, keyLen);
    const char terminator = lf ? '\n' : '\r';

    TSerialPort port;
    TUnitLink link(port, nullptr);
    link.WaitLimit = limit;
    size_t at = 2 + key.size();
    int32_t state = kWaiting;
    while (state == kWaiting) {
        size_t end = input.find('\xFF', at);
        if (end == std::string::npos) end = input.size();
        if (at <= input.size()) link.RxBuffer += input.substr(at, end - at);
        at = end + 1;

        const std::string before = link.RxBuffer;
        const int countBefore = link.WaitCount;
        std::string reply = "stale";
        if (lf) state = StateAfter(link.AwaitReplyLF(key, reply), state, kFail, kNext);
        else state = StateAfter(link.AwaitReply(key, reply), state, kFail, kNext);

        FUZZ_CHECK(link.WaitCount == countBefore + 1);
        if (state == kNext) {
            FUZZ_CHECK(!key.empty());
            FUZZ_CHECK(!reply.empty() && reply.back() == terminator);
            FUZZ_CHECK(before.compare(0, reply.size(), reply) == 0);
            FUZZ_CHECK(reply.find(key) != std::string::npos);
            FUZZ_CHECK(link.RxBuffer == before.substr(reply.size(), link.RxBuffer.size()));
        } else {
            FUZZ_CHECK(reply.empty());
            FUZZ_CHECK(link.RxBuffer == before);
            if (state == kFail) FUZZ_CHECK(link.WaitCount >= limit);
        }
        FUZZ_CHECK(link.WaitCount <= limit);
    }
    return 0;
}
