// Message framing byte by byte. Input: start char, end char, trailing count (0-7), then the bytes.
// Every delivered message begins with the start character, holds the end character exactly
// AppendCount bytes before its end and is made of bytes received in that order.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "serial/MessageAssembly.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const char start = static_cast<char>(data[0]);
    const char end = static_cast<char>(data[1]);
    const uint16_t append = data[2] % 8;
    const std::string stream(reinterpret_cast<const char*>(data + 3), size - 3);

    TMessageAssembly m;
    for (size_t i = 0; i < stream.size(); ++i) {
        const bool done = m.Feed(stream[i], start, end, append);
        FUZZ_CHECK(m.FMsgState <= 3);
        if (!done) continue;
        const std::string& msg = m.FRxMessage;
        FUZZ_CHECK(msg.size() >= 2u + append);
        FUZZ_CHECK(msg.front() == start);
        FUZZ_CHECK(msg[msg.size() - 1 - append] == end);
        FUZZ_CHECK(msg.size() <= i + 1);
        FUZZ_CHECK(stream.compare(i + 1 - msg.size(), msg.size(), msg) == 0);
        FUZZ_CHECK(m.FMsgState == 3);
    }
    return 0;
}
