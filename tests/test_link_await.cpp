// The per-tick reply waits on the received text, and CharCode. No port is opened: the waits work on
// RxBuffer alone.
#include "engine/UnitLink.h"
#include "tests/support/LinkWait.h"
#include "engine/SerialPort.h"

#include <gtest/gtest.h>
#include <string>

namespace {

constexpr int kWaiting = 66;
constexpr int kFail = 99;
constexpr int kNext = 67;

class LinkAwait : public ::testing::Test {
protected:
    TSerialPort port;
    TUnitLink link{port, nullptr};
    int32_t state = kWaiting;
    std::string reply = "left over";

    void Reply(const std::string& key) { state = StateAfter(link.AwaitReply(key, reply), state, kFail, kNext); }
    void ReplyLF(const std::string& key) { state = StateAfter(link.AwaitReplyLF(key, reply), state, kFail, kNext); }
};

}  // namespace

TEST_F(LinkAwait, TextBeforeTheKeyBelongsToTheReply) {
    link.RxBuffer = "READY\nERASING\r\nx";
    Reply("ERASING");
    EXPECT_EQ(reply, "READY\nERASING\r");
    EXPECT_EQ(link.RxBuffer, "\nx");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(link.WaitCount, 1);
}

TEST_F(LinkAwait, ALineEndBeforeTheKeyDoesNotEndTheReply) {
    link.RxBuffer = "GO\r\nERASING...";
    Reply("ERASING");
    EXPECT_EQ(state, kWaiting);
    EXPECT_EQ(reply, "");
    EXPECT_EQ(link.RxBuffer, "GO\r\nERASING...");
    link.RxBuffer += "\r\nERASE COMPLETE\r\n";
    Reply("ERASING");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply, "GO\r\nERASING...\r");
    EXPECT_EQ(link.RxBuffer, "\nERASE COMPLETE\r\n");
}

TEST_F(LinkAwait, IncompleteKeyOrLineKeepsWaitingUntilItArrives) {
    link.RxBuffer = "ERASI";
    Reply("ERASING");
    EXPECT_EQ(state, kWaiting);
    link.RxBuffer += "NG";
    Reply("ERASING");
    EXPECT_EQ(state, kWaiting);  // the key is there, its line end is not
    EXPECT_EQ(reply, "");
    EXPECT_EQ(link.RxBuffer, "ERASING");
    link.RxBuffer += "\r\n";
    Reply("ERASING");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply, "ERASING\r");
    EXPECT_EQ(link.RxBuffer, "\n");
    EXPECT_EQ(link.WaitCount, 3);
}

TEST_F(LinkAwait, TheLineEndMustLieWithin125CharactersOfTheKey) {
    // Key "KEY" at 0: a CR at index 124 is the last the window reaches.
    link.RxBuffer = "KEY" + std::string(121, '.') + "\r";
    Reply("KEY");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply.size(), 125u);

    state = kWaiting;
    link.WaitCount = 0;
    link.RxBuffer = "KEY" + std::string(122, '.') + "\r\n";
    for (int i = 0; i < 5; ++i) Reply("KEY");
    EXPECT_EQ(state, kWaiting);
    EXPECT_EQ(link.RxBuffer.size(), 127u);

    // The window is counted from the key, not from the start of the buffer.
    link.RxBuffer = std::string(200, '-') + "KEY\r";
    Reply("KEY");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply.size(), 204u);
}

TEST_F(LinkAwait, OnlyThe125CharactersAfterTheLineEndAreKept) {
    std::string after;
    for (int i = 0; i < 300; ++i) after += static_cast<char>('a' + i % 26);
    link.RxBuffer = "SEND BLOCK\r" + after;
    Reply("LO");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply, "SEND BLOCK\r");
    EXPECT_EQ(link.RxBuffer, after.substr(0, 125));
}

TEST_F(LinkAwait, TheSeventhOfEightTriesStillLooks) {
    link.WaitLimit = 8;
    for (int i = 0; i < 6; ++i) Reply("THANK YOU");
    EXPECT_EQ(state, kWaiting);
    link.RxBuffer = "THANK YOU\r\n";
    Reply("THANK YOU");
    EXPECT_EQ(link.WaitCount, 7);
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply, "THANK YOU\r");
}

TEST_F(LinkAwait, TheEighthOfEightTriesGivesUpWithoutLooking) {
    link.WaitLimit = 8;
    for (int i = 0; i < 7; ++i) Reply("THANK YOU");
    EXPECT_EQ(state, kWaiting);
    link.RxBuffer = "THANK YOU\r\n";
    Reply("THANK YOU");
    EXPECT_EQ(link.WaitCount, 8);
    EXPECT_EQ(state, kFail);
    EXPECT_EQ(reply, "");
    EXPECT_EQ(link.RxBuffer, "THANK YOU\r\n");
}

TEST_F(LinkAwait, ALimitOfOneNeverLooks) {
    link.WaitLimit = 1;
    link.RxBuffer = "READY\r";
    Reply("READY");
    EXPECT_EQ(state, kFail);
    EXPECT_EQ(link.RxBuffer, "READY\r");
}

TEST_F(LinkAwait, LFWaitEndsAfterTheUnitsCRLF) {
    link.RxBuffer = "\r\n>0000/FCS=Boot:1A2B Main:EE72\r\n>";
    ReplyLF(">0000/FCS");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply, "\r\n>0000/FCS=Boot:1A2B Main:EE72\r\n");
    EXPECT_EQ(link.RxBuffer, ">");
}

TEST_F(LinkAwait, LFWaitIgnoresACRThatIsNotFollowedByLF) {
    link.RxBuffer = ">0000/SWR=1.01\r";
    ReplyLF("SWR");
    EXPECT_EQ(state, kWaiting);
    link.RxBuffer += "\n";
    ReplyLF("SWR");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply, ">0000/SWR=1.01\r\n");
    EXPECT_EQ(link.RxBuffer, "");
}

TEST_F(LinkAwait, ZeroBytesAreOrdinaryText) {
    link.RxBuffer = std::string("\0\0READY\0\r\0z", 11);
    Reply("READY");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply, std::string("\0\0READY\0\r", 9));
    EXPECT_EQ(link.RxBuffer, std::string("\0z", 2));

    state = kWaiting;
    link.RxBuffer = std::string("A\0B\r", 4);
    Reply(std::string("\0B", 2));
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply, std::string("A\0B\r", 4));
}

TEST_F(LinkAwait, MatchingIsCaseSensitive) {
    link.RxBuffer = "ready\r\nUpload Failed\r\n";
    Reply("READY");
    Reply("FAILED");
    EXPECT_EQ(state, kWaiting);
    Reply("Failed");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply, "ready\r\nUpload Failed\r");
}

TEST_F(LinkAwait, FragmentsMatchAnywhereAndTheFirstOccurrenceCounts) {
    link.RxBuffer = "RESEND BLOCK\r\nSEND BLOCK\r\n";
    Reply("LO");
    EXPECT_EQ(state, kNext);
    EXPECT_EQ(reply, "RESEND BLOCK\r");
    EXPECT_EQ(link.RxBuffer, "\nSEND BLOCK\r\n");
}

TEST_F(LinkAwait, AnEmptyKeyNeverMatches) {
    link.RxBuffer = "READY\r\n";
    Reply("");
    EXPECT_EQ(state, kWaiting);
    EXPECT_EQ(link.RxBuffer, "READY\r\n");
}

TEST_F(LinkAwait, EveryTryClearsTheReply) {
    link.RxBuffer = "nothing yet";
    Reply("READY");
    EXPECT_EQ(reply, "");
}

TEST(LinkCharCode, CodeOfExactlyOneCharacter) {
    EXPECT_EQ(TUnitLink::CharCode("A"), 65);
    EXPECT_EQ(TUnitLink::CharCode(std::string(1, '\0')), 0);
    EXPECT_EQ(TUnitLink::CharCode("\r"), 13);
    EXPECT_EQ(TUnitLink::CharCode("\xFF"), 255);
    EXPECT_EQ(TUnitLink::CharCode("\xA5"), 0xA5);
    EXPECT_EQ(TUnitLink::CharCode("AB"), 0);
    EXPECT_EQ(TUnitLink::CharCode(""), 0);
}
