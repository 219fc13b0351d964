// Choosing the preparation by name, and Intel HEX into the 0xFF-filled binary image.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>

#include "firmware/BinaryImage.h"
#include "firmware/FileIo.h"
#include "firmware/IntelHex.h"
#include "firmware/UploadFile.h"
#include "base/Hex.h"
#include "base/RunError.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {


// Converts `text` as a Software Upload .h86 file into a fresh 4 MiB image.
struct Converted {
    TempDir dir;
    TBinaryImage image;
    THexReader reader;
    std::string hexFile = dir / "fw.h86";
    std::string binFile = dir / "fw.BIN";
    explicit Converted(const std::string& text, int chunks = MainImageChunks) {
        WriteWholeFile(hexFile, text);
        image.EmptyBinaryFile(binFile, chunks);
        reader.HexToBinaryFile(hexFile, image);
        image.Flush();
    }
    uint8_t At(size_t a) const { return image.Bytes().at(a); }
    size_t NonBlankBytes() const {
        size_t n = 0;
        for (uint8_t b : image.Bytes()) n += b != 0xFF;
        return n;
    }
};

}  // namespace

TEST(FirmwareNames, LastDotOfTheFileOwnNameDecides) {
    struct Row {
        const char* input;
        const char* ext;
        TInputKind kind;
        const char* bin;
        const char* zup;
    } rows[] = {
        {"/d/fw/app.h86", "H86", TInputKind::IntelHex, "/d/fw/app.BIN", "/d/fw/app.ZUP"},
        {"app.Mcs", "MCS", TInputKind::IntelHex, "app.BIN", "app.ZUP"},
        {"/d/fw.bin.h86", "H86", TInputKind::IntelHex, "/d/fw.bin.BIN", "/d/fw.bin.ZUP"},
        {"/d/fw.old/app.h86", "H86", TInputKind::IntelHex, "/d/fw.old/app.BIN", "/d/fw.old/app.ZUP"},
        {"/d/app.h86.zup", "ZUP", TInputKind::Upload, "/d/app.h86.BIN", "/d/app.h86.zup"},
        {"app.binary", "BIN", TInputKind::Binary, "app.binary", "app.ZUP"},  // three characters count
        {"/d/fw.old/firmware", "FIR", TInputKind::Unknown, ".BIN", ".ZUP"},   // no '.' in the name
        {"a.h8", "H8", TInputKind::Unknown, "a.BIN", "a.ZUP"},
        {"x.", "", TInputKind::Unknown, "x.BIN", "x.ZUP"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.input);
        const TInputNames n = SplitInputFileName(r.input);
        EXPECT_EQ(n.InputExt, r.ext);
        EXPECT_EQ(InputKind(n.InputExt), r.kind);
        EXPECT_EQ(n.BinFileName, r.bin);
        EXPECT_EQ(n.ZupFileName, r.zup);
    }
    EXPECT_EQ(InputKind("h86"), TInputKind::Unknown);  // the caller upper-cases
}

TEST(FirmwareHex, DataRecordsLandAtTheirAddressesAndTheRestStaysErased) {
    Converted c(":0400100001020304E2\n:02001E00AABB7B\n:00000001FF\n");
    EXPECT_EQ(c.At(0x10), 0x01);
    EXPECT_EQ(c.At(0x13), 0x04);
    EXPECT_EQ(c.At(0x1E), 0xAA);
    EXPECT_EQ(c.At(0x1F), 0xBB);
    EXPECT_EQ(c.At(0x0F), 0xFF);
    EXPECT_EQ(c.At(0x14), 0xFF);
    EXPECT_EQ(c.NonBlankBytes(), 6u);
    EXPECT_TRUE(c.reader.LastLineSent);
    // The file on disk holds the image.
    const std::string disk = ReadWholeFile(c.binFile);
    ASSERT_EQ(disk.size(), 4194304u);
    EXPECT_EQ(0, std::memcmp(disk.data(), c.image.Bytes().data(), disk.size()));
}

TEST(FirmwareHex, AddressRecordsAndTheirCombination) {
    // Type 04 base 0001, offset FFF0.
    Converted linear(":020000040001F9\n:02FFF0001122DC\n:00000001FF\n");
    EXPECT_EQ(linear.At(0x1FFF0), 0x11);
    EXPECT_EQ(linear.At(0x1FFF1), 0x22);
    EXPECT_EQ(linear.NonBlankBytes(), 2u);
    EXPECT_EQ(linear.reader.LinearBase, "0001");

    // Type 02 base 1000: 0x10000 + 0xFFF0.
    Converted segment(":020000021000EC\n:02FFF0001122DC\n:00000001FF\n");
    EXPECT_EQ(segment.At(0x1FFF0), 0x11);
    EXPECT_EQ(segment.NonBlankBytes(), 2u);
    EXPECT_EQ(segment.reader.SegmentBase, "1000");

    // Both kinds are added.
    Converted both(":020000021000EC\n:020000040001F9\n:010000007788\n:00000001FF\n");
    EXPECT_EQ(both.At(0x20000), 0x77);
    EXPECT_EQ(both.NonBlankBytes(), 1u);
}

TEST(FirmwareHex, OverlapsOtherTypesAndTheEndRecord) {
    Converted c(":040000001122334452\n"
                ":02000100556642\n"       // overwrites 0x01-0x02
                ":0400000300001000E9\n"  // start segment address: ignored
                ":0400000500001234B1\n"  // start linear address: ignored
                ":0200000699AAB5\n"      // unknown type: ignored
                ":00000001FF\n"
                ":01002000429D\n");  // after the end: never read
    EXPECT_EQ(c.At(0), 0x11);
    EXPECT_EQ(c.At(1), 0x55);
    EXPECT_EQ(c.At(2), 0x66);
    EXPECT_EQ(c.At(3), 0x44);
    EXPECT_EQ(c.At(0x20), 0xFF);
    EXPECT_EQ(c.NonBlankBytes(), 4u);
}

TEST(FirmwareHex, AnyLineEndReadsEveryRecordAndEachChecksumIsHeld) {
    // Two data records and the end record, then what the reader must make of them.
    const std::string a = ":02001000abcd76", b = "#01002000429D", end = ":00000001FF";
    struct Row {
        const char* name;
        std::string text;
        const char* error;  // "" = converted; else a piece of the message
    } rows[] = {
        {"LF", a + "\n" + b + "\n" + end + "\n", ""},
        {"CR LF", a + "\r\n" + b + "\r\n" + end + "\r\n", ""},
        {"CR alone", a + "\r" + b + "\r" + end + "\r", ""},
        {"mixed, no final end", a + "\r" + b + "\r\n" + end, ""},
        {"wrong sum on line 2 of CR lines", a + "\r:0100200042FE\r" + end, "line 2: record checksum FE is wrong"},
        {"wrong sum of an address record", ":020000040001F8\n" + a, "line 1: record checksum F8 is wrong"},
        {"wrong sum of the end record", a + "\n:00000001FE\n", "line 2: record checksum FE"},
        {"no checksum at all", ":0100200042\n", "line 1: the record announces 1 data bytes and a checksum"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        const std::string file = dir / "fw.h86";
        WriteWholeFile(file, r.text);
        TBinaryImage image;
        image.EmptyBinaryFile(dir / "fw.BIN", FactoryImageChunks);
        THexReader reader;
        try {
            reader.HexToBinaryFile(file, image);
            EXPECT_STREQ(r.error, "");
            EXPECT_EQ(image.Bytes()[0x10], 0xAB);  // lower-case digits are numbers
            EXPECT_EQ(image.Bytes()[0x11], 0xCD);
            EXPECT_EQ(image.Bytes()[0x20], 0x42);  // the ':' is not examined
        } catch (const EConvertError& e) {
            const std::string what = e.what();
            EXPECT_NE(*r.error, '\0') << what;
            EXPECT_NE(what.find("\"" + file + "\", " + r.error), std::string::npos) << what;
        }
    }
}

TEST(FirmwareHex, EveryConversionStartsFromBaseZero) {
    TempDir dir;
    const std::string first = dir / "a.h86", second = dir / "b.h86";
    WriteWholeFile(first, ":020000040001F9\n:020000021000EC\n:00000001FF\n");
    WriteWholeFile(second, ":010010009956\n:00000001FF\n");
    TBinaryImage image;
    THexReader reader;
    image.EmptyBinaryFile(dir / "a.BIN", MainImageChunks);
    reader.HexToBinaryFile(first, image);
    EXPECT_EQ(reader.LinearBase, "0001");
    image.EmptyBinaryFile(dir / "b.BIN", MainImageChunks);
    reader.HexToBinaryFile(second, image);
    EXPECT_EQ(image.Bytes()[0x10], 0x99);
    EXPECT_EQ(image.Bytes()[0x20010], 0xFF);
    EXPECT_EQ(reader.LinearBase, "");
    EXPECT_EQ(reader.SegmentBase, "");
}

TEST(FirmwareHex, LongRecordsBlankLinesAndLineEnds) {
    std::string record = ":FF010000";
    for (int i = 0; i < 255; ++i) {
        char d[3];
        std::snprintf(d, sizeof d, "%02X", i);
        record += d;
    }
    record += "7F";  // minus the sum of 0xFF, 0x01 and 0..254
    Converted c("\r\n\n" + record + "\r\n   \r\n:0\r\n:01000000AA55\r\n\r\n:00000001FF\r\n");
    for (int i = 0; i < 255; ++i) ASSERT_EQ(c.At(0x100 + static_cast<size_t>(i)), i) << i;
    EXPECT_EQ(c.At(0x1FF), 0xFF);
    EXPECT_EQ(c.At(0), 0xAA);
    EXPECT_EQ(c.NonBlankBytes(), 256u);
    EXPECT_TRUE(c.reader.LastLineSent);
}

TEST(FirmwareHex, DataAtOrPastTheImageEndIsDropped) {
    // 0x3FFFF8..0x400007: the first eight bytes fit, the rest falls past 4 MiB; base 0x0100
    // (0x1000000) lies far outside.
    Converted c(":02000004003FBB\n:10FFF800A1A2A3A4A5A6A7A8B1B2B3B4B5B6B7B831\n"
                ":020000040100F9\n:0400000001020304F2\n:00000001FF\n");
    EXPECT_EQ(c.At(0x3FFFF8), 0xA1);
    EXPECT_EQ(c.At(0x3FFFFF), 0xA8);
    EXPECT_EQ(c.NonBlankBytes(), 8u);
    EXPECT_EQ(fs::file_size(c.binFile), 4194304u);

    EXPECT_EQ(LeftOutText(c.image.LeftOut(), c.image.Bytes().size()),
              "12 bytes at 0x400000-0x1000003 were left out: they lie beyond the 4 MiB of flash");

    // An image whose data all lie at or above 4 MiB is 0xFF only.
    Converted high(":020000040040BA\n:0400000001020304F2\n:00000001FF\n");
    EXPECT_EQ(high.NonBlankBytes(), 0u);
    EXPECT_EQ(fs::file_size(high.binFile), 4194304u);
    EXPECT_EQ(high.image.LeftOut().Bytes, 4u);

    // The counts begin again with every image; a single byte is named alone.
    Converted one(":020000040040BA\n:0100050077" "83\n:00000001FF\n");
    EXPECT_EQ(LeftOutText(one.image.LeftOut(), one.image.Bytes().size()),
              "1 byte at 0x400005 was left out: it lies beyond the 4 MiB of flash");
    Converted none(":00000001FF\n");
    EXPECT_EQ(LeftOutText(none.image.LeftOut(), none.image.Bytes().size()), "");
}

TEST(FirmwareHex, BadDigitsAndShortRecordsNameFileAndLine) {
    TempDir dir;
    TBinaryImage image;
    THexReader reader;
    image.EmptyBinaryFile(dir / "x.BIN", MainImageChunks);
    const std::string file = dir / "bad.h86";

    WriteWholeFile(file, ":0100000011EE\n\n:02000000G1228B\n");
    try {
        reader.HexToBinaryFile(file, image);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(file), std::string::npos) << what;
        EXPECT_NE(what.find("line 3"), std::string::npos) << what;
        EXPECT_NE(what.find("'G1'"), std::string::npos) << what;
    }

    // A count that asks for more digits than the line holds: no reading past the line.
    WriteWholeFile(file, ":10000000112233\n");
    try {
        reader.HexToBinaryFile(file, image);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_NE(std::string(e.what()).find("line 1"), std::string::npos) << e.what();
    }

    // A bad base is reported where it stands.
    WriteWholeFile(file, ":0200000400XZF9\n");
    EXPECT_THROW(reader.HexToBinaryFile(file, image), EConvertError);
    // A bad count or offset too.
    WriteWholeFile(file, ":0Z000000\n");
    EXPECT_THROW(reader.HexToBinaryFile(file, image), EConvertError);
}

TEST(FirmwareHex, FilesThatCannotBeReadOrWritten) {
    TempDir dir;
    TBinaryImage image;
    THexReader reader;
    image.EmptyBinaryFile(dir / "x.BIN", FactoryImageChunks);
    const std::string missing = dir / "missing.h86";
    try {
        reader.HexToBinaryFile(missing, image);
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
    }
    fs::create_directory(dir / "folder.h86");
    EXPECT_THROW(reader.HexToBinaryFile(dir / "folder.h86", image), EInOutError);
    EXPECT_THROW(image.EmptyBinaryFile(dir / "no/such/dir.BIN", MainImageChunks), EInOutError);
    EXPECT_THROW(image.EmptyBinaryFile(dir / "folder.h86", MainImageChunks), EInOutError);
}

TEST(FirmwareHex, LineSourceReadsUpToTheEndRecord) {
    TempDir dir;
    const std::vector<std::string> lines = {":020000021000EC", ":02000800AABB91", ":020000020000FC",
                                            ":02000800CCDD4D", ":00000001FF", ":01000000EE11"};
    TBinaryImage image;
    image.EmptyBinaryFile(dir / "Reserved.BIN", FactoryImageChunks);
    THexReader reader;
    size_t taken = 0;
    reader.HexToBinary(
        [&](std::string& line) {
            if (taken >= lines.size()) return false;
            line = lines[taken++];
            return true;
        },
        image, "MemoFlshCode");
    image.Flush();
    EXPECT_EQ(taken, 5u);  // the end record was the last line taken
    EXPECT_TRUE(reader.LastLineSent);
    EXPECT_EQ(image.Bytes()[8], 0xCC);  // the 0x10008 record fell outside the 64 KiB image
    EXPECT_EQ(image.Bytes()[0], 0xFF);
    EXPECT_EQ(fs::file_size(dir / "Reserved.BIN"), 65536u);
    EXPECT_EQ(static_cast<uint8_t>(ReadWholeFile(dir / "Reserved.BIN")[9]), 0xDD);

    // Bad digits from a line source name the source and the line.
    size_t k = 0;
    try {
        reader.HexToBinary(
            [&](std::string& line) {
                line = ++k == 2 ? ":01000000QF00" : ":00000003FD";
                return k < 4;
            },
            image, "MemoFlshCode");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_NE(std::string(e.what()).find("\"MemoFlshCode\", line 2:"), std::string::npos) << e.what();
    }
}

TEST(FirmwareImage, TheFileIsWrittenOnlyOnceTheImageIsComplete) {
    TempDir dir;
    const std::string bin = dir / "fw.BIN", hex = dir / "fw.h86";
    struct Row {
        const char* name;
        std::string text;
        bool converts;
    } rows[] = {
        {"complete", ":0100100099" "56\n:00000001FF\n", true},
        {"bad digit", ":0100100099" "56\n:01002000G29D\n:00000001FF\n", false},
        {"cut short", ":0100100099" "56\n", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        WriteWholeFile(bin, std::string(5'000'000, 'x'));  // an older image under the name
        WriteWholeFile(hex, r.text);
        TBinaryImage image;
        THexReader reader;
        image.EmptyBinaryFile(bin, MainImageChunks);
        EXPECT_FALSE(fs::exists(bin));  // the old image no longer stands for the input
        try {
            reader.HexToBinaryFile(hex, image);
            image.Flush();
        } catch (const EConvertError&) {
        }
        EXPECT_EQ(fs::exists(bin), r.converts);
        if (!r.converts) continue;
        std::string want(4194304, '\xFF');
        want[0x10] = '\x99';
        EXPECT_TRUE(ReadWholeFile(bin) == want);
    }
    // Nothing written at all: the file is erased flash throughout.
    TBinaryImage image;
    image.EmptyBinaryFile(bin, FactoryImageChunks);
    image.Flush();
    EXPECT_TRUE(ReadWholeFile(bin) == std::string(65536, '\xFF'));
    EXPECT_EQ(dir.Entries(), 2u);  // the image and the HEX file, no probe or temporary left
}

TEST(FirmwareHex, EveryByteAsADigitOfASixteenByteRecord) {
    // Each byte value in turn as the high digit of data byte 2 and of data byte 15 of a 16-byte
    // record: a digit of either case gives its value, anything else is refused as it stands.
    TempDir dir;
    for (size_t dataByte : {2u, 15u}) {
        for (int c = 0; c < 256; ++c) {
            const int value = c >= '0' && c <= '9' ? c - '0'
                              : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                                       : -1;
            std::string line = ":10000000" + std::string(32, '0') + "00";
            line[9 + 2 * dataByte] = static_cast<char>(c);
            if (value >= 0) {
                char sum[3];
                std::snprintf(sum, sizeof sum, "%02X", (0x100 - 0x10 - (value << 4)) & 0xFF);
                line.replace(41, 2, sum);
            }
            TBinaryImage image;
            image.EmptyBinaryFile(dir / "x.BIN", FactoryImageChunks);
            THexReader reader;
            size_t next = 0;
            std::string error;
            try {
                reader.HexToBinary([&](std::string& l) { l = next++ == 0 ? line : ":00000001FF"; return next <= 2; },
                                   image);
            } catch (const EConvertError& e) {
                error = e.what();
            }
            if (value < 0) {
                EXPECT_EQ(error, "line 1: '" + PrintableText(std::string(1, static_cast<char>(c)) + "0") +
                                     "' is not a valid hexadecimal number") << c;
                continue;
            }
            EXPECT_EQ(error, "") << c;
            for (size_t i = 0; i < 16; ++i)
                ASSERT_EQ(image.Bytes()[i], i == dataByte ? value << 4 : 0) << c << " at " << i;
        }
    }
}

TEST(FirmwareHex, AFileCutShortIsRefusedAsIncomplete) {
    const std::string rec = ":0100100099" "56";
    for (const std::string& text : {rec, rec + "\r\n", rec + "\n:0000000", rec + "\n\n\n"}) {
        SCOPED_TRACE(text);
        TempDir dir;
        const std::string file = dir / "fw.h86";
        WriteWholeFile(file, text);
        TBinaryImage image;
        image.EmptyBinaryFile(dir / "fw.BIN", FactoryImageChunks);
        THexReader reader;
        try {
            reader.HexToBinaryFile(file, image);
            FAIL() << "no error";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "\"" + file + "\": the file is incomplete: it ends without an "
                                             "end-of-file record (:00000001FF)");
        }
        EXPECT_FALSE(reader.LastLineSent);
    }
}

TEST(FirmwareHex, TextWithoutARecordBeforeItsFirstErrorIsNotIntelHex) {
    // Release notes or a README under a HEX name; a bad record after a ':' line keeps its own message.
    struct Row {
        std::string text, expected;
    } rows[] = {
        {"Release notes 1.2\n", "is not an Intel HEX file: its first line does not start with ':'"},
        {"# Notes\n\nA Linux desktop utility\n", "is not an Intel HEX file: none of its first 3 lines starts with ':'"},
        {"notes\nmore\n", "is not an Intel HEX file: no line starts with ':'"},
        {":0100100099" "56\nRelease notes\n", "line 2: 'el' is not a valid hexadecimal number"},
        {"", "the file is empty"},
        {"\n\n", "the file is empty"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        TempDir dir;
        const std::string file = dir / "notes.h86";
        WriteWholeFile(file, row.text);
        TBinaryImage image;
        image.EmptyBinaryFile(dir / "notes.BIN", FactoryImageChunks);
        THexReader reader;
        try {
            reader.HexToBinaryFile(file, image);
            FAIL() << "no error";
        } catch (const EConvertError& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind("\"" + file + "\"", 0), 0u) << what;
            EXPECT_NE(what.find(row.expected), std::string::npos) << what;
        }
    }
}

TEST(FirmwareHex, LinesAroundTheReadBufferEdgeAndLongerThanIt) {
    // A record padded with trailing text so that its line end falls just before, on and after the
    // edge of the reader's buffer, or the line outgrows the buffer; the next record must still be
    // found whatever the line end, a CR LF split over two reads included.
    const std::string first = ":0100100099" "56", second = ":01002000429D";
    const size_t edge = FileIo::TLineReader::BufferSize;
    for (const char* eol : {"\r\n", "\r", "\n"}) {
        for (size_t length : {edge - 3, edge - 2, edge - 1, edge, edge + 1, 2 * edge + 5}) {
            SCOPED_TRACE(std::to_string(length) + (eol[0] == '\n' ? " LF" : eol[1] ? " CR LF" : " CR"));
            const std::string line = first + std::string(length - first.size(), ' ');
            Converted c(line + eol + second + eol + ":00000001FF" + eol, FactoryImageChunks);
            EXPECT_EQ(c.At(0x10), 0x99);
            EXPECT_EQ(c.At(0x20), 0x42);
            EXPECT_EQ(c.NonBlankBytes(), 2u);
        }
    }
}

TEST(FirmwareHex, QuotedBytesAreShownPrintable) {
    TempDir dir;
    const std::string file = dir / "fw.h86";
    WriteWholeFile(file, std::string(":01000000\x01\xE9" "FE\n", 14));
    TBinaryImage image;
    image.EmptyBinaryFile(dir / "fw.BIN", FactoryImageChunks);
    THexReader reader;
    try {
        reader.HexToBinaryFile(file, image);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(std::string(e.what()), "\"" + file + "\", line 1: '<01><E9>' is not a valid hexadecimal number");
    }
}

TEST(FirmwareHex, InputsLargerThanAnyImageNeedsAreRefusedUnread) {
    TempDir dir;
    TBinaryImage image;
    THexReader reader;
    image.EmptyBinaryFile(dir / "x.BIN", FactoryImageChunks);
    const uint64_t limit = FileIo::MaxInputFileSize;
    for (const char* name : {"big.h86", "big.bin"}) {
        const std::string file = dir / name;
        for (uint64_t size : {limit, limit + 1, uint64_t{5} << 30}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(size));
            WriteWholeFile(file, ":00000001FF\n");
            fs::resize_file(file, size);  // sparse: no disk space taken
            const std::string error = [&]() -> std::string {
                try {
                    if (name[4] == 'h') reader.HexToBinaryFile(file, image);
                    else image.OpenExisting(file, FactoryImageChunks);
                } catch (const std::exception& e) {
                    return e.what();
                }
                return "";
            }();
            EXPECT_EQ(error, size > limit ? "Cannot read file \"" + file + "\": File too large (over 64 MiB)" : "");
        }
    }
}

TEST(FirmwareImage, ExistingBinaryFilesAreReadNeverChanged) {
    TempDir dir;
    const std::string shortBin = dir / "short.bin";
    WriteWholeFile(shortBin, std::string("\x01\x02\x03", 3));
    TBinaryImage image;
    image.OpenExisting(shortBin, MainImageChunks);
    ASSERT_EQ(image.Bytes().size(), 4194304u);
    EXPECT_EQ(image.Bytes()[2], 0x03);
    EXPECT_EQ(image.Bytes()[3], 0xFF);
    EXPECT_EQ(image.Bytes().back(), 0xFF);
    image.Flush();
    EXPECT_EQ(fs::file_size(shortBin), 3u);

    const std::string longBin = dir / "long.bin";
    std::string content(65536 + 100, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    WriteWholeFile(longBin, content);
    image.OpenExisting(longBin, FactoryImageChunks);
    EXPECT_EQ(std::string(image.Bytes().begin(), image.Bytes().end()), content.substr(0, 65536));
    EXPECT_EQ(ReadWholeFile(longBin), content);

    EXPECT_THROW(image.OpenExisting(dir / "none.bin", MainImageChunks), EInOutError);
    fs::create_directory(dir / "d.bin");
    EXPECT_THROW(image.OpenExisting(dir / "d.bin", MainImageChunks), EInOutError);
}
