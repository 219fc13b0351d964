// Message framing of the rxMessage mode, driven byte by byte without a port.
#include "serial/MessageAssembly.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {
struct Framer {
    TMessageAssembly a;
    char start = 2;
    char end = 3;
    uint16_t append = 0;
    std::vector<std::string> Feed(const std::string& bytes) {
        std::vector<std::string> out;
        for (char c : bytes)
            if (a.Feed(c, start, end, append)) out.push_back(a.FRxMessage);
        return out;
    }
};
}  // namespace

TEST(MessageAssembly, IgnoresBytesOutsideAMessageAndWaitsForTheEnd) {
    Framer f;
    auto got = f.Feed(std::string("x\x02" "AB\x03y\x02" "E"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::string("\x02" "AB\x03"));
    EXPECT_EQ(f.a.FMsgState, 1);   // "\x02E" is still open
    EXPECT_EQ(f.a.FRxMessage, std::string("\x02" "E"));
    got = f.Feed("F\x03");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::string("\x02" "EF\x03"));
}

TEST(MessageAssembly, TrailingCharactersAreDataEvenWhenTheyAreFramingBytes) {
    Framer f;
    f.append = 2;
    auto got = f.Feed(std::string("\x02" "AB\x03" "12"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::string("\x02" "AB\x03" "12"));

    got = f.Feed(std::string("\x02" "C\x03\x02\x03" "z"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::string("\x02" "C\x03\x02\x03"));
    EXPECT_EQ(f.a.FMsgState, 3);
    // After delivery the message stays readable until the next start character.
    EXPECT_EQ(f.a.FRxMessage, std::string("\x02" "C\x03\x02\x03"));
}

TEST(MessageAssembly, StartCharacterRestartsAndStrayEndIsIgnored) {
    Framer f;
    EXPECT_TRUE(f.Feed(std::string("\x03\x03" "abc\x03")).empty());
    EXPECT_EQ(f.a.FMsgState, 0);
    auto got = f.Feed(std::string("\x02" "AB\x02" "EF\x03"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::string("\x02" "EF\x03"));
    // State 3 behaves as state 0: an end character right after delivery is ignored.
    EXPECT_TRUE(f.Feed("\x03").empty());
}

TEST(MessageAssembly, StartEqualToEndAlwaysStarts) {
    Framer f;
    f.start = f.end = '#';
    EXPECT_TRUE(f.Feed("#ab#cd").empty());
    EXPECT_EQ(f.a.FRxMessage, "#cd");
    EXPECT_EQ(f.a.FMsgState, 1);
}

TEST(MessageAssembly, AnyByteValuePassesUnchanged) {
    Framer f;
    f.start = '\x00';
    f.end = '\xff';
    f.append = 1;
    std::string body;
    for (int v = 1; v < 255; ++v) body.push_back(static_cast<char>(v));
    std::string wire = std::string(1, '\0') + body + "\xff" + std::string(1, '\0');
    auto got = f.Feed(wire);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], wire);
    EXPECT_EQ(got[0].size(), 257u);
}

TEST(MessageAssembly, EndCharacterWithCrAsTheMainWindowUsesIt) {
    Framer f;
    f.end = '\r';
    auto got = f.Feed("READY\r\x02OK\r");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "\x02OK\r");
}
