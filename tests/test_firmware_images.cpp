// The two built-in images and the bootstrap records as they go on the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdlib.h>

#include "firmware/BinaryImage.h"
#include "firmware/BootLine.h"
#include "firmware/BuiltinImages.h"
#include "firmware/IntelHex.h"
#include "firmware/UploadFile.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {


// A record taken apart independently of the reader under test.
struct Record {
    unsigned count = 0, offset = 0, type = 0;
    std::string data;  // the data bytes
};

Record Parse(const std::string& line) {
    EXPECT_EQ(line.at(0), ':') << line;
    std::string bytes;
    for (size_t i = 1; i + 1 < line.size(); i += 2) {
        const char d[3] = {line[i], line[i + 1], 0};
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(d[0])) && !std::islower(d[0])) << line;
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(d[1])) && !std::islower(d[1])) << line;
        bytes += static_cast<char>(std::strtoul(d, nullptr, 16));
    }
    EXPECT_EQ(line.size() % 2, 1u) << line;
    unsigned sum = 0;
    for (char c : bytes) sum += static_cast<uint8_t>(c);
    EXPECT_EQ(sum % 256, 0u) << "checksum of " << line;
    Record r;
    r.count = static_cast<uint8_t>(bytes.at(0));
    r.offset = static_cast<uint8_t>(bytes.at(1)) * 256u + static_cast<uint8_t>(bytes.at(2));
    r.type = static_cast<uint8_t>(bytes.at(3));
    r.data = bytes.substr(4, bytes.size() - 5);
    EXPECT_EQ(r.data.size(), r.count) << line;
    EXPECT_LE(r.count, 16u) << line;
    return r;
}

// Sum of the bytes a hex text stands for.
unsigned PairSum(const std::string& hex) {
    unsigned s = 0;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) s += static_cast<unsigned>(std::stoul(hex.substr(i, 2), nullptr, 16));
    return s;
}

std::string AllData(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines) {
        const Record r = Parse(l);
        if (r.type == 0) all += r.data;
    }
    return all;
}

void ExpectTexts(const std::string& data, const std::vector<std::string>& texts) {
    for (const std::string& t : texts) {
        const std::string ended = t + (t.ends_with(": ") ? std::string(1, '\0') : std::string("\r\0", 2));
        EXPECT_NE(data.find(ended), std::string::npos) << t;
    }
}

const std::vector<std::string> kBootTexts = {
    "SEND BLOCK",    "ERASE COMPLETE", "GO",    "ERASING...",         "ERASE BLOCK TIMEOUT: ",
    "RESEND BLOCK",  "UPLOAD COMPLETE. PLEASE CYCLE POWER.",            "ERASE ERROR: ",
    "UPLOAD FAILED", "INVALID START",  "READY", "BLOCK BASE INDEX: ", "THANK YOU"};

}  // namespace

TEST(FirmwareBootLine, RecordsOfTheBootstrapImageOnTheWire) {
    const auto& lines = MemoBootLines();
    TBootLineState st;
    std::string taken;
    EXPECT_EQ(PrepareBootLine(lines, st, &taken), 0xFC);
    EXPECT_EQ(taken, ":020000040000FA");
    EXPECT_EQ(st.HexToSend, "0400");
    EXPECT_EQ(st.LineCount, 1);
    EXPECT_EQ(st.HexLineIndex, 0);

    EXPECT_EQ(PrepareBootLine(lines, st, &taken), 0x14);
    EXPECT_EQ(st.HexToSend, "000C00002281200000E0004000FD0000");
    EXPECT_EQ(st.HexToSend.size() / 2, 16u);

    EXPECT_EQ(PrepareBootLine(lines, st, &taken), 0xF4);  // not its checksum field F2
    EXPECT_EQ(st.HexToSend, "0408");

    const uint8_t ack = PrepareBootLine(lines, st, &taken);
    EXPECT_EQ(ack, (0x100 - PairSum(st.HexToSend) % 256) % 256);
    EXPECT_EQ(st.HexToSend.size() / 2, 20u);  // a 16-byte record goes out as 20 bytes
}

TEST(FirmwareBootLine, WholeWalkSends3149BytesAndStopsAtTheEnd) {
    const auto& lines = MemoBootLines();
    TBootLineState st;
    size_t bytes = 0;
    int records = 0;
    while (!st.LastLineSent) {
        std::string taken;
        const uint8_t ack = PrepareBootLine(lines, st, &taken);
        ASSERT_EQ(taken, lines.at(static_cast<size_t>(st.HexLineIndex)));
        // Every expected reply is the two's complement of the sum of the bytes sent.
        ASSERT_EQ(ack, (0x100 - PairSum(st.HexToSend) % 256) % 256) << taken;
        bytes += st.HexToSend.size() / 2;
        ++records;
        ASSERT_LT(records, 1000);
    }
    EXPECT_EQ(records, 161);
    EXPECT_EQ(bytes, 3149u);
    EXPECT_EQ(st.HexToSend, "01");
    EXPECT_EQ(st.LineCount, 161);

    // After the end record only the shown number moves.
    std::string taken = "untouched";
    EXPECT_EQ(PrepareBootLine(lines, st, &taken), 0);
    EXPECT_EQ(st.LineCount, 162);
    EXPECT_EQ(st.HexToSend, "01");
    EXPECT_EQ(taken, "untouched");
}

TEST(FirmwareBootLine, OtherRecordsAndAnImageWithoutEnd) {
    const std::vector<std::string> lines = {":0400000300001000E9", ":0100100042AD"};
    TBootLineState st;
    std::string taken;
    // The start-address record is passed over; the number still counts lines.
    EXPECT_EQ(PrepareBootLine(lines, st, &taken), 0xAD);
    EXPECT_EQ(taken, ":0100100042AD");
    EXPECT_EQ(st.HexToSend, "0001001042");
    EXPECT_EQ(st.LineCount, 2);
    // The lines run out without an end record: nothing more to send, and the walk ends.
    EXPECT_EQ(PrepareBootLine(lines, st, &taken), 0);
    EXPECT_TRUE(st.LastLineSent);
    EXPECT_EQ(st.HexToSend, "");
}

TEST(FirmwareImages, BootstrapImageShape) {
    const auto& lines = MemoBootLines();
    ASSERT_EQ(lines.size(), 161u);
    EXPECT_EQ(lines[0], ":020000040000FA");
    EXPECT_EQ(lines[1], ":0C0000002281200000E0004000FD000014");
    EXPECT_EQ(lines[2], ":020000040008F2");
    EXPECT_EQ(lines[160], ":00000001FF");
    unsigned next = 0;
    for (size_t i = 3; i < 160; ++i) {
        const Record r = Parse(lines[i]);
        ASSERT_EQ(r.type, 0u) << lines[i];
        ASSERT_EQ(r.offset, next) << lines[i];
        ASSERT_EQ(r.count, i < 159 ? 16u : 4u) << lines[i];
        next += r.count;
    }
    EXPECT_EQ(0x80000 + next - 1, 0x809C3u);
    const std::string data = AllData(lines);
    EXPECT_EQ(data.size(), 2512u);
    ExpectTexts(data, kBootTexts);
}

TEST(FirmwareImages, FlashCodeImageShape) {
    const auto& lines = MemoFlshCodeLines();
    ASSERT_EQ(lines.size(), 390u);
    EXPECT_EQ(lines[0], ":020000020000FC");
    EXPECT_EQ(lines[348], ":020000021000EC");
    EXPECT_EQ(lines[382], ":020000020000FC");
    EXPECT_EQ(lines[389], ":00000001FF");
    unsigned low = 0xFFFFF, high = 0, bytes = 0;
    for (size_t i = 1; i < 348; ++i) {
        const Record r = Parse(lines[i]);
        ASSERT_EQ(r.type, 0u) << lines[i];
        low = std::min(low, r.offset);
        high = std::max(high, r.offset + r.count - 1);
        bytes += r.count;
    }
    EXPECT_EQ(low, 0x0008u);
    EXPECT_EQ(high, 0x829Du);
    EXPECT_EQ(bytes, 4942u);
    unsigned highBytes = 0;
    for (size_t i = 349; i < 382; ++i) {
        const Record r = Parse(lines[i]);
        ASSERT_EQ(r.type, 0u);
        ASSERT_EQ(r.count, 2u);
        ASSERT_GE(0x10000 + r.offset, 0x10008u);
        ASSERT_LE(0x10000 + r.offset + 1, 0x1011Du);
        highBytes += r.count;
    }
    EXPECT_EQ(highBytes, 66u);
    std::set<unsigned> late;
    unsigned lateBytes = 0;
    for (size_t i = 383; i < 389; ++i) {
        const Record r = Parse(lines[i]);
        ASSERT_EQ(r.type, 0u);
        for (unsigned k = 0; k < r.count; ++k) late.insert(r.offset + k);
        lateBytes += r.count;
    }
    EXPECT_EQ(lateBytes, 24u);
    std::set<unsigned> want;
    for (unsigned a = 0x0000; a <= 0x0003; ++a) want.insert(a);
    for (unsigned a = 0x02F6; a <= 0x0307; ++a) want.insert(a);
    for (unsigned a = 0x145A; a <= 0x145B; ++a) want.insert(a);
    EXPECT_EQ(late, want);

    const std::string data = AllData(lines);
    EXPECT_EQ(data.size(), 5032u);
    std::vector<std::string> texts;
    for (const auto& t : kBootTexts)
        if (t != "BLOCK BASE INDEX: ") texts.push_back(t);
    texts.insert(texts.end(), {"But, Nobody is Home.", "The lights are ON...", "I'm in User_Main.  FLASHCODE VER 2.0"});
    ExpectTexts(data, texts);
    EXPECT_EQ(data.find("BLOCK BASE INDEX"), std::string::npos);
}

TEST(FirmwareImages, FlashCodeAsFactoryUploadFile) {
    TempDir dir;
    TBinaryImage image;
    image.EmptyBinaryFile(dir / "Reserved.BIN", FactoryImageChunks);
    THexReader reader;
    const auto& lines = MemoFlshCodeLines();
    size_t next = 0;
    reader.HexToBinary(
        [&](std::string& line) {
            if (next >= lines.size()) return false;
            line = lines[next++];
            return true;
        },
        image, "MemoFlshCode");
    EXPECT_EQ(next, 390u);
    EXPECT_TRUE(reader.LastLineSent);
    // The 66 bytes of segment 1000 lie above the image and are dropped, not written to the file,
    // but counted for the operator.
    EXPECT_EQ(LeftOutText(image.LeftOut(), image.Bytes().size()),
              "66 bytes at 0x010008-0x01011D were left out: they lie beyond the 64 KiB of flash");
    image.Flush();
    EXPECT_EQ(fs::file_size(dir / "Reserved.BIN"), 65536u);

    const TBuildResult r = BuildUploadFile(image, dir / "Reserved.ZUP");
    EXPECT_EQ(r.BlockCount, 42);
    EXPECT_EQ(r.Checksum, "6890");
    const std::string zup = ReadWholeFile(dir / "Reserved.ZUP");
    ASSERT_EQ(zup.size(), 42u * 135 + 4);
    EXPECT_EQ(zup.substr(42 * 135), "6890");
    std::vector<std::string> addresses, want;
    for (size_t b = 0; b < 42; ++b) addresses.push_back(zup.substr(b * 135, 6));
    char a[8];
    for (unsigned c = 0; c <= 0x1400; c += 0x80)
        if (c != 0x380) {
            std::snprintf(a, sizeof a, "%06X", c);
            want.push_back(a);
        }
    want.push_back("008200");
    want.push_back("008280");
    EXPECT_EQ(addresses, want);
}

TEST(FirmwareImages, SampleFilesMakeDemoAndFullUploads) {
    TempDir dir;
    struct Case {
        const char* name;
        int atLeast, atMost;
    };
    // The demo runs about 30 s at a block per tick; the full one is large enough for the checksum
    // check after the restart (2000 blocks or more).
    for (Case c : {Case{"mxr2-demo.h86", 550, 650}, Case{"mxr2-full.h86", 2000, 2200}}) {
        const std::string file = std::string(ZUP_SOURCE_DIR) + "/resources/samples/" + c.name;
        const TInputNames names = SplitInputFileName(c.name);
        ASSERT_EQ(InputKind(names.InputExt), TInputKind::IntelHex);
        TBinaryImage image;
        image.EmptyBinaryFile(dir / names.BinFileName, MainImageChunks);
        THexReader reader;
        reader.HexToBinaryFile(file, image);
        EXPECT_TRUE(reader.LastLineSent) << c.name;
        EXPECT_NE(reader.LinearBase, "") << c.name;  // addressed with type 04 records
        const TBuildResult r = BuildUploadFile(image, dir / names.ZupFileName);
        EXPECT_GE(r.BlockCount, c.atLeast) << c.name;
        EXPECT_LE(r.BlockCount, c.atMost) << c.name;
        TZupFile zup;
        zup.Open(dir / names.ZupFileName);
        EXPECT_EQ(zup.BlockCount(), r.BlockCount);
    }
}
