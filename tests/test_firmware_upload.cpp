// The upload block file: building it from the image and reading it back during a transfer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>

#include "firmware/BinaryImage.h"
#include "firmware/IntelHex.h"
#include "base/RunError.h"
#include "firmware/UploadFile.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {


uint8_t Byte(const std::string& s, size_t i) { return static_cast<uint8_t>(s.at(i)); }

// The worked example: only chunk 2 is used, holding 0x00..0x7F.
std::string Chunk2File(TempDir& dir, int chunks, TBuildResult& result) {
    TBinaryImage image;
    image.EmptyBinaryFile(dir / "w.BIN", chunks);
    uint8_t data[128];
    for (int i = 0; i < 128; ++i) data[i] = static_cast<uint8_t>(i);
    image.Write(256, data, 128);
    result = BuildUploadFile(image, dir / "w.ZUP");
    return ReadWholeFile(dir / "w.ZUP");
}

}  // namespace

TEST(FirmwareUpload, WorkedExampleInBothImageSizes) {
    TempDir dir;
    TBuildResult r;
    const std::string factory = Chunk2File(dir, FactoryImageChunks, r);
    ASSERT_EQ(factory.size(), 139u);
    EXPECT_EQ(factory.substr(0, 6), "000100");
    for (int i = 0; i < 128; ++i) ASSERT_EQ(Byte(factory, 6 + static_cast<size_t>(i)), i);
    EXPECT_EQ(Byte(factory, 134), 0xE1);
    EXPECT_EQ(factory.substr(135), "A040");
    EXPECT_EQ(r.BlockCount, 1);
    EXPECT_EQ(r.Checksum, "A040");

    const std::string main = Chunk2File(dir, MainImageChunks, r);
    EXPECT_EQ(main, factory);
    EXPECT_EQ(r.Checksum, "A040");
}

TEST(FirmwareUpload, TrailerCountsTheBlankChunksToo) {
    TempDir dir;
    TBinaryImage image;
    image.EmptyBinaryFile(dir / "z.BIN", MainImageChunks);
    const std::vector<uint8_t> zeros(128, 0);
    image.Write(0x1000, zeros.data(), zeros.size());
    const TBuildResult r = BuildUploadFile(image, dir / "z.ZUP");
    EXPECT_EQ(r.Checksum, "8080");
    const std::string file = ReadWholeFile(dir / "z.ZUP");
    ASSERT_EQ(file.size(), 139u);
    EXPECT_EQ(file.substr(0, 6), "001000");
    EXPECT_EQ(file.substr(135), "8080");
}

TEST(FirmwareUpload, BlankImagesGiveTheTrailerAlone) {
    TempDir dir;
    for (int chunks : {MainImageChunks, FactoryImageChunks}) {
        TBinaryImage image;
        image.EmptyBinaryFile(dir / "b.BIN", chunks);
        const TBuildResult r = BuildUploadFile(image, dir / "b.ZUP");
        EXPECT_EQ(r.BlockCount, 0);
        EXPECT_EQ(ReadWholeFile(dir / "b.ZUP"), "0000");
    }
}

TEST(FirmwareUpload, LastChunksAndSingleChangedBytes) {
    TempDir dir;
    struct Case {
        int chunks;
        const char* last;
    };
    for (Case c : {Case{MainImageChunks, "3FFF80"}, Case{FactoryImageChunks, "00FF80"}}) {
        TBinaryImage image;
        image.EmptyBinaryFile(dir / "l.BIN", c.chunks);
        const uint8_t one = 0x5A;
        image.Write(static_cast<uint64_t>(c.chunks) * 128 - 1, &one, 1);  // the very last byte
        image.Write(127, &one, 1);                                          // last byte of chunk 0
        const TBuildResult r = BuildUploadFile(image, dir / "l.ZUP");
        ASSERT_EQ(r.BlockCount, 2);
        const std::string file = ReadWholeFile(dir / "l.ZUP");
        ASSERT_EQ(file.size(), 2u * 135 + 4);
        EXPECT_EQ(file.substr(0, 6), "000000");
        EXPECT_EQ(file.substr(135, 6), c.last);
        // Whole blocks: 127 erased bytes go along with the changed one.
        EXPECT_EQ(file.substr(6, 127), std::string(127, '\xFF'));
        EXPECT_EQ(Byte(file, 133), 0x5A);
        // Block checksums over address characters and data, computed here independently.
        for (size_t b = 0; b < 2; ++b) {
            unsigned sum = 0;
            for (size_t i = 0; i < 134; ++i) sum += Byte(file, b * 135 + i);
            EXPECT_EQ(Byte(file, b * 135 + 134), sum % 256);
            EXPECT_EQ(BlockChecksum(reinterpret_cast<const uint8_t*>(file.data()) + b * 135), sum % 256);
        }
        // Sum of the whole image: all 0xFF but two bytes of 0x5A.
        const unsigned total = (static_cast<unsigned>(c.chunks) * 128 - 2) * 255 + 2 * 0x5A;
        char want[5];
        std::snprintf(want, sizeof want, "%04X", total % 65536);
        EXPECT_EQ(r.Checksum, want);
        EXPECT_EQ(file.substr(270), want);
    }
}

TEST(FirmwareUpload, FileIsReplacedWholeOrNotAtAll) {
    TempDir dir;
    TBinaryImage image;
    image.EmptyBinaryFile(dir / "r.BIN", FactoryImageChunks);
    const uint8_t b = 1;
    image.Write(0, &b, 1);
    image.Flush();
    const std::string zup = dir / "r.ZUP";
    WriteWholeFile(zup, std::string(10000, 'o'));
    BuildUploadFile(image, zup);
    EXPECT_EQ(fs::file_size(zup), 139u);
    EXPECT_EQ(dir.Entries(), 2u);  // no temporary file left beside it

    // A target that cannot be written: an error naming it, and nothing left behind.
    fs::create_directory(dir / "taken.ZUP");
    fs::create_directory(dir / "sub");
    WriteWholeFile(dir / "sub/keep.txt", "x");
    try {
        BuildUploadFile(image, dir / "taken.ZUP");
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find("taken.ZUP"), std::string::npos) << e.what();
    }
    EXPECT_THROW(BuildUploadFile(image, dir / "none/x.ZUP"), EInOutError);
    EXPECT_EQ(dir.Entries(), 4u);
    EXPECT_TRUE(fs::is_directory(dir / "taken.ZUP"));

}

TEST(FirmwareZupFile, BlocksAndTrailerReadBackAndRepeat) {
    TempDir dir;
    TBinaryImage image;
    image.EmptyBinaryFile(dir / "t.BIN", MainImageChunks);
    std::vector<uint8_t> data(128 * 3);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
    image.Write(0x2000, data.data(), 128);
    image.Write(0x300000, data.data() + 128, 256);
    const TBuildResult built = BuildUploadFile(image, dir / "t.ZUP");
    ASSERT_EQ(built.BlockCount, 3);
    const std::string file = ReadWholeFile(dir / "t.ZUP");

    TZupFile zup;
    zup.Open(dir / "t.ZUP");
    EXPECT_EQ(zup.BlockCount(), 3);
    for (int round = 0; round < 2; ++round) {  // "Repeat Upload" sends the same again
        zup.Rewind();
        std::string block, all;
        int n = 0;
        while (zup.ReadBlock(block)) {
            ASSERT_EQ(block.size(), 135u);
            all += block;
            ++n;
        }
        EXPECT_EQ(n, 3);
        EXPECT_EQ(all, file.substr(0, 405));
        EXPECT_EQ(all.substr(135, 6), "300000");
        EXPECT_EQ(zup.ReadFileChecksum(), built.Checksum);
    }
    zup.Close();
    EXPECT_FALSE(zup.IsOpen());
    std::string block = "kept";
    EXPECT_FALSE(zup.ReadBlock(block));
    EXPECT_EQ(block, "kept");
}

TEST(FirmwareZupFile, OddSizesAndMissingTrailers) {
    TempDir dir;
    TZupFile zup;
    // 5,674 bytes: 42 whole blocks and 4 bytes over.
    std::string blocks;
    for (int i = 0; i < 42; ++i) blocks += std::string(135, static_cast<char>('a' + i % 26));
    WriteWholeFile(dir / "a.zup", blocks + "1F2E");
    zup.Open(dir / "a.zup");
    EXPECT_EQ(zup.BlockCount(), 42);
    std::string block;
    int n = 0;
    while (zup.ReadBlock(block)) ++n;
    EXPECT_EQ(n, 42);
    EXPECT_EQ(zup.ReadFileChecksum(), "1F2E");

    // Whole blocks but no trailer, a cut trailer, a file shorter than a trailer: no four-digit text.
    for (const std::string& tail : {std::string(), std::string("1F")}) {
        WriteWholeFile(dir / "b.zup", blocks.substr(0, 270) + tail);
        zup.Open(dir / "b.zup");
        EXPECT_EQ(zup.BlockCount(), 2);
        while (zup.ReadBlock(block)) {
        }
        const std::string sum = zup.ReadFileChecksum();
        EXPECT_EQ(sum, tail);
        EXPECT_LT(sum.size(), 4u);
    }
    WriteWholeFile(dir / "c.zup", "AB0");
    zup.Open(dir / "c.zup");
    EXPECT_EQ(zup.BlockCount(), 0);
    EXPECT_FALSE(zup.ReadBlock(block));
    EXPECT_EQ(zup.ReadFileChecksum(), "AB0");

    // Shorter than one block but longer than a trailer: its first four bytes, as the format says.
    WriteWholeFile(dir / "d.zup", "0000123");
    zup.Open(dir / "d.zup");
    EXPECT_EQ(zup.BlockCount(), 0);
    EXPECT_EQ(zup.ReadFileChecksum(), "0000");

    EXPECT_THROW(zup.Open(dir / "missing.zup"), EInOutError);
    EXPECT_FALSE(zup.IsOpen());
    fs::create_directory(dir / "dir.zup");
    EXPECT_THROW(zup.Open(dir / "dir.zup"), EInOutError);
    EXPECT_EQ(zup.ReadFileChecksum(), "");
}

TEST(FirmwareUploadImage, InMemoryBlocksMatchTheFileBothWays) {
    TempDir dir;
    TBinaryImage image;
    image.EmptyBinaryFile(dir / "m.BIN", MainImageChunks);
    for (uint32_t a : {0x0u, 0x1234u, 0x3FFF80u}) {
        const uint8_t data[3] = {static_cast<uint8_t>(a), 0x00, 0x5A};
        image.Write(a, data, 3);
    }
    const TBuildResult built = BuildUploadFile(image, dir / "built.ZUP");
    const TUploadImage made = MakeUploadImage(image);
    ASSERT_EQ(made.Blocks.size(), static_cast<size_t>(built.BlockCount));
    EXPECT_EQ(made.Checksum, built.Checksum);
    WriteUploadFile(made, dir / "written.ZUP");
    EXPECT_EQ(ReadWholeFile(dir / "written.ZUP"), ReadWholeFile(dir / "built.ZUP"));
    const TUploadImage read = ReadUploadFile(dir / "built.ZUP");
    EXPECT_EQ(read.Blocks, made.Blocks);
    EXPECT_EQ(read.Checksum, made.Checksum);

    TBinaryImage blank;
    blank.EmptyBinaryFile(dir / "b.BIN", FactoryImageChunks);
    EXPECT_TRUE(MakeUploadImage(blank).Blocks.empty());  // nothing for the unit's flash
}

TEST(FirmwareUploadImage, DamagedOrOversizedFilesAreRefusedBeforeAnUpload) {
    TempDir dir;
    TBinaryImage image;
    image.EmptyBinaryFile(dir / "d.BIN", FactoryImageChunks);
    for (uint32_t a : {0u, 0x400u, 0x800u}) {
        const uint8_t b = 7;
        image.Write(a, &b, 1);
    }
    BuildUploadFile(image, dir / "good.ZUP");
    const std::string good = ReadWholeFile(dir / "good.ZUP");
    // The message a damaged block must give, worked out here from the file's own bytes.
    auto damaged = [&](size_t at, std::string& content) {
        content = good;
        content[at] = static_cast<char>(content[at] ^ 0x10);
        const size_t block = at / BlockSize;
        unsigned sum = 0;
        for (size_t i = 0; i < BlockSize - 1; ++i) sum += static_cast<uint8_t>(content[block * BlockSize + i]);
        char text[96];
        std::snprintf(text, sizeof text, " is damaged: block %zu of 3 has checksum %02X, its bytes give %02X",
                      block + 1, static_cast<uint8_t>(content[block * BlockSize + BlockSize - 1]), sum & 0xFF);
        return std::string(text);
    };
    struct Row {
        const char* name;
        std::string content;
        std::string error;  // after the quoted file name; "" = accepted
    } rows[5] = {
        {"whole", good, ""},
        {"data byte of block 2", "", ""},
        {"address of block 1", "", ""},
        {"sum byte of block 3", "", ""},
        {"a trailer too few", good.substr(0, good.size() - 1),
         " is not an upload block file: 408 bytes are not whole blocks of 135 bytes followed by a 4-character checksum"},
    };
    rows[1].error = damaged(BlockSize + 40, rows[1].content);
    rows[2].error = damaged(3, rows[2].content);
    rows[3].error = damaged(3 * BlockSize - 1, rows[3].content);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string file = dir / "x.ZUP";
        WriteWholeFile(file, r.content);
        for (auto check : {+[](const std::string& f) { CheckUploadBlocks(f); },
                           +[](const std::string& f) { (void)ReadUploadFile(f); }}) {
            std::string error;
            try {
                check(file);
            } catch (const EInOutError& e) {
                error = e.what();
                EXPECT_EQ(e.FileName(), file);
            }
            EXPECT_EQ(error, r.error.empty() ? "" : "\"" + file + "\"" + r.error);
        }
    }
    // More than the most blocks any image gives: refused by its size, unread.
    const std::string big = dir / "big.ZUP";
    WriteWholeFile(big, "");
    fs::resize_file(big, MaxUploadFileSize + BlockSize);
    const std::string tooLarge =
        "Cannot read file \"" + big + "\": File too large (over " + std::to_string(MaxUploadFileSize) + " bytes)";
    for (auto check : {+[](const std::string& f) { CheckUploadFile(f); }, +[](const std::string& f) { (void)ReadUploadFile(f); }}) {
        try {
            check(big);
            ADD_FAILURE() << "no error";
        } catch (const EInOutError& e) {
            EXPECT_EQ(std::string(e.what()), tooLarge);
        }
    }
}
