// Inputs the fuzzers found, kept so the waits never go back to what they did with them.
#include "engine/UnitLink.h"
#include "tests/support/LinkWait.h"
#include "engine/SerialPort.h"

#include <gtest/gtest.h>
#include <string>

namespace {

constexpr int kWaiting = 1, kFail = 2, kNext = 3;

struct Waits {
    TSerialPort port;
    TUnitLink link{port, nullptr};
    int32_t state = kWaiting;
    std::string reply;
};

}  // namespace

// A key holding the terminator: the line end inside the key is not the end of the reply, and the
// reply always holds the whole key.
TEST(LinkRegressions, ALineEndInsideTheKeyDoesNotEndTheReply) {
    for (const bool lf : {false, true}) {
        Waits w;
        const std::string key = lf ? std::string("GO\n\xe8" "AS") : std::string("GO\r\n\xe8" "AS");
        w.link.RxBuffer = "I\x99KNG" + key + "I";
        if (lf) w.state = StateAfter(w.link.AwaitReplyLF(key, w.reply), w.state, kFail, kNext);
        else w.state = StateAfter(w.link.AwaitReply(key, w.reply), w.state, kFail, kNext);
        EXPECT_EQ(w.state, kWaiting) << "lf " << lf;  // the line after the key has not ended yet
        EXPECT_EQ(w.reply, "");
        w.link.RxBuffer += lf ? "\ntail" : "\rtail";
        if (lf) w.state = StateAfter(w.link.AwaitReplyLF(key, w.reply), w.state, kFail, kNext);
        else w.state = StateAfter(w.link.AwaitReply(key, w.reply), w.state, kFail, kNext);
        EXPECT_EQ(w.state, kNext);
        EXPECT_NE(w.reply.find(key), std::string::npos);
        EXPECT_EQ(w.link.RxBuffer, "tail");
    }
}

// A terminator right after the key still ends the reply there.
TEST(LinkRegressions, ATerminatorRightAfterTheKeyEndsTheReply) {
    Waits w;
    w.link.RxBuffer = "ERASING\r\nERASE COMPLETE\r\n";
    w.state = StateAfter(w.link.AwaitReply("ERASING", w.reply), w.state, kFail, kNext);
    EXPECT_EQ(w.state, kNext);
    EXPECT_EQ(w.reply, "ERASING\r");
    EXPECT_EQ(w.link.RxBuffer, "\nERASE COMPLETE\r\n");
}
