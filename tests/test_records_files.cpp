// The capture file, the remembered port and the remembered data-files directory.
#include "base/RunError.h"
#include "records/Capture.h"
#include "records/CommsSettings.h"
#include "records/DataFilesDir.h"
#include "tests/support/AsUser.h"
#include "tests/support/Fifo.h"
#include "tests/support/Processes.h"

#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <fstream>
#include <gtest/gtest.h>

#include "tests/support/TempDir.h"
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::string ReadWholeFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const fs::path& p, const std::string& content) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

size_t Count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + what.size())) ++n;
    return n;
}


struct TempHome : ::testing::Test {
    QTemporaryDir tmp;
    fs::path home() const { return fs::path(tmp.path().toStdString()); }
};

// ---------------------------------------------------------------- rendering

TEST(RenderCaptureText, OnlyTheFirstSixCarriageReturnsAreRendered) {
    std::string seven;
    for (int i = 0; i < 7; ++i) seven += std::string(1, static_cast<char>('a' + i)) + "\r";
    std::string out = TCaptureFile::RenderCaptureText("[in]" + seven);
    EXPECT_EQ(Count(out, "[cr]"), 6u);
    EXPECT_EQ(Count(out, "\r"), 1u);
    EXPECT_GT(out.find('\r'), out.rfind("[cr]"));
    EXPECT_EQ(out.substr(out.size() - 2), "g\r");
}

TEST(RenderCaptureText, OnlyTheFirstFourLineFeedsAreRendered) {
    std::string out = TCaptureFile::RenderCaptureText("\n1\n2\n3\n4\n");
    EXPECT_EQ(out, "[lf]1[lf]2[lf]3[lf]4\n");
}

TEST(RenderCaptureText, LineFeedsAreCountedBeforeCarriageReturns) {
    std::string pairs;
    for (int i = 0; i < 7; ++i) pairs += "\r\n";
    EXPECT_EQ(TCaptureFile::RenderCaptureText(pairs),
              "[cr][lf][cr][lf][cr][lf][cr][lf][cr]\n[cr]\n\r\n");
}

TEST(RenderCaptureText, FactoryModeMessagesReplaceTheWholeText) {
    EXPECT_EQ(TCaptureFile::RenderCaptureText("[in]FAC=E OK\r"), " Factory mode enabled");
    EXPECT_EQ(TCaptureFile::RenderCaptureText("[in]FAC=D OK\r"), " Factory mode disabled");
    EXPECT_EQ(TCaptureFile::RenderCaptureText("[out]<0000/FAC=1\r"), " Factory mode message accepted");
    // "enabled" wins over "disabled" wherever they stand.
    EXPECT_EQ(TCaptureFile::RenderCaptureText("FAC=D FAC=E "), " Factory mode enabled");
    // The blank after the letter matters; a CR there is already "[cr]" when the test is made.
    EXPECT_EQ(TCaptureFile::RenderCaptureText("[in]FAC=E\r"), " Factory mode message accepted");
    EXPECT_EQ(TCaptureFile::RenderCaptureText("[in]FAC-E "), "[in]FAC-E ");
}

TEST(RenderCaptureText, KeepsEveryOtherByte) {
    std::string in("[in]a\0b\xff", 8);
    std::string out = TCaptureFile::RenderCaptureText(in + "\r");
    EXPECT_EQ(out, in + "[cr]");
    EXPECT_EQ(out.size(), 12u);
}

// ---------------------------------------------------------------- capture file

struct CaptureFile : TempHome {
    TCaptureFile cap;
    std::string path;
    void SetUp() override {
        path = (home() / "Capture.txt").string();
        cap.TimeOfDay = [] { return std::string("12:34:56"); };
    }
};
struct CaptureFileAsRoot : CaptureFile {};

TEST_F(CaptureFile, SwitchingOnTwiceAppendsTwoStartLinesAfterTheOldContent) {
    WriteAll(path, "old line\r\n");
    EXPECT_FALSE(cap.CaptureOn());
    cap.ToggleCapture(path);
    EXPECT_TRUE(cap.CaptureOn());
    cap.WriteCapture("GO\r", "[out]");
    cap.ToggleCapture(path);
    EXPECT_FALSE(cap.CaptureOn());
    cap.WriteCapture("ignored while off", "[in]");
    cap.ToggleCapture(path);
    cap.WriteCapture("READY\r", "[in]");
    cap.CloseCapture();
    EXPECT_FALSE(cap.CaptureOn());
    EXPECT_EQ(ReadWholeFile(path),
              "old line\r\n[start]\r\n12:34:56[out]GO[cr]\r\n[start]\r\n12:34:56[in]READY[cr]\r\n");
}

TEST_F(CaptureFile, AMissingFileIsCreatedAndAnotherRunAppends) {
    {
        TCaptureFile first;
        first.TimeOfDay = cap.TimeOfDay;
        first.ToggleCapture(path);
        first.WriteCapture("5", "[pn]");
    }  // the program ends with capture on: the file is closed
    cap.ToggleCapture(path);
    cap.WriteCapture("5", "[pn]");  // a new run has its own last line
    EXPECT_EQ(ReadWholeFile(path), "[start]\r\n12:34:56[pn]5\r\n[start]\r\n12:34:56[pn]5\r\n");
}

TEST_F(CaptureFile, ALineIsNeverWrittenTwiceInARow) {
    cap.ToggleCapture(path);
    for (int tick = 0; tick < 5; ++tick) cap.WriteCapture("67", "[pn]");
    cap.WriteCapture("SEND BLOCK\r", "[in]");
    cap.WriteCapture("67", "[pn]");
    // The last line survives switching off and on.
    cap.ToggleCapture(path);
    cap.ToggleCapture(path);
    cap.WriteCapture("67", "[pn]");
    cap.WriteCapture("68", "[pn]");
    EXPECT_EQ(ReadWholeFile(path), "[start]\r\n12:34:56[pn]67\r\n12:34:56[in]SEND BLOCK[cr]\r\n12:34:56[pn]67\r\n"
                             "[start]\r\n12:34:56[pn]68\r\n");
}

TEST_F(CaptureFile, TheComparisonIsOnTheRenderedBody) {
    cap.ToggleCapture(path);
    cap.WriteCapture("FAC=E 1", "[in]");
    cap.WriteCapture("FAC=E 2", "[out]");  // renders the same
    EXPECT_EQ(Count(ReadWholeFile(path), "Factory mode enabled"), 1u);
}

TEST_F(CaptureFile, EachLineIsInTheFileAtOnce) {
    cap.ToggleCapture(path);
    EXPECT_EQ(ReadWholeFile(path), "[start]\r\n");
    cap.WriteCapture("U", "[out]");
    EXPECT_EQ(ReadWholeFile(path), "[start]\r\n12:34:56[out]U\r\n");
}

TEST_F(CaptureFile, TheDefaultTimeIsTheLocalTimeOfDay) {
    TCaptureFile plain;
    plain.ToggleCapture(path);
    plain.WriteCapture("GO\r", "[out]");
    plain.CloseCapture();
    std::string content = ReadWholeFile(path);
    std::string line = content.substr(9);  // after "[start]\r\n"
    ASSERT_GE(line.size(), 13u);
    EXPECT_EQ(line.substr(line.size() - 13), "[out]GO[cr]\r\n");
    std::string time = line.substr(0, line.size() - 13);
    EXPECT_FALSE(time.empty());
    EXPECT_TRUE(std::any_of(time.begin(), time.end(), [](char c) { return c >= '0' && c <= '9'; }));
    EXPECT_EQ(time.find('\r'), std::string::npos);
}

TEST_F(CaptureFile, AFileThatCannotBeOpenedLeavesCaptureOff) {
    fs::create_directory(home() / "Capture.txt");
    WriteAll(home() / "plainfile", "x");
    for (const std::string& bad : {path, (home() / "plainfile" / "Capture.txt").string()}) {
        try {
            cap.ToggleCapture(bad);
            ADD_FAILURE() << "no error for " << bad;
        } catch (const EInOutError& e) {
            EXPECT_NE(std::string(e.what()).find(bad), std::string::npos);
        }
        EXPECT_FALSE(cap.CaptureOn());
    }
}

TEST_F(CaptureFile, AStartLineThatCannotBeWrittenLeavesCaptureOff) {
    FileSizeLimit full(0);
    EXPECT_THROW(cap.ToggleCapture(path), EInOutError);
    EXPECT_FALSE(cap.CaptureOn());
}

TEST_F(CaptureFile, AFailedLineIsReportedOnceAndSwitchesCaptureOff) {
    cap.ToggleCapture(path);
    {
        FileSizeLimit full(fs::file_size(path));
        try {
            cap.WriteCapture("GO\r", "[out]");
            ADD_FAILURE() << "no error";
        } catch (const EInOutError& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
        }
        EXPECT_FALSE(cap.CaptureOn());
        EXPECT_NO_THROW(cap.WriteCapture("GO\r", "[out]"));  // off: nothing more to report
    }
    EXPECT_EQ(ReadWholeFile(path), "[start]\r\n");
    // The failed line was not remembered as written.
    cap.ToggleCapture(path);
    cap.WriteCapture("GO\r", "[out]");
    EXPECT_EQ(Count(ReadWholeFile(path), "[out]GO[cr]"), 1u);
}

// A line that sends noise is captured byte by byte: the file stops at its limit, once, and says so.
TEST_F(CaptureFile, StopsAtItsSizeLimitWithALastLineThatSaysSo) {
    WriteAll(path, std::string(500, 'o') + "\r\n");  // an earlier capture's lines count for nothing
    cap.SizeLimit = 100;
    cap.ToggleCapture(path);
    int failures = 0;
    for (int i = 0; i < 20; ++i) {
        try {
            cap.WriteCapture(std::to_string(i), "[in]");
        } catch (const EInOutError& e) {
            ++failures;
            EXPECT_EQ(std::string(e.what()), "Capture file \"" + path + "\" reached its size limit of 100 bytes");
        }
    }
    EXPECT_EQ(failures, 1);
    EXPECT_FALSE(cap.CaptureOn());
    const std::string content = ReadWholeFile(path);
    EXPECT_EQ(content.substr(502), "[start]\r\n12:34:56[in]0\r\n"
                                   "12:34:56[stop]capture stopped: size limit of 100 bytes reached\r\n");
    // Switched on again, it starts afresh.
    cap.ToggleCapture(path);
    EXPECT_NO_THROW(cap.WriteCapture("GO\r", "[out]"));
    EXPECT_TRUE(cap.CaptureOn());
}

TEST_F(CaptureFile, ANewFileIsMadeForItsUserAndGroupOnly) {
    cap.ToggleCapture(path);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0007, 0u) << std::oct << st.st_mode;
    EXPECT_EQ(st.st_uid, ::geteuid());
}

// A file with another name elsewhere may be any file of this user's: nothing is appended to it.
TEST_F(CaptureFile, AFileWithOtherNamesIsNotUsed) {
    const std::string elsewhere = (home() / "profile").string();
    WriteAll(elsewhere, "export PATH\n");
    ASSERT_EQ(::link(elsewhere.c_str(), path.c_str()), 0);
    EXPECT_THROW(cap.ToggleCapture(path), EInOutError);
    EXPECT_FALSE(cap.CaptureOn());
    EXPECT_EQ(ReadWholeFile(elsewhere), "export PATH\n");
}

// Another user's capture file would receive this user's conversation with the unit, firmware
// included: it is refused, as root's is to a user and a user's to root.
TEST_F(CaptureFileAsRoot, AnotherUsersFileIsNeverWrittenTo) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play a second user";
    ASSERT_EQ(::chmod(home().c_str(), 01777), 0);  // a folder everyone may write to, as /tmp
    WriteAll(path, "theirs\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    struct Row {
        const char* what;
        uid_t owner, user;
        std::string refusal;
    } rows[] = {
        {"a user's file, root capturing", kNobody, 0, "it belongs to user nobody (uid 65534), not to this user"},
        {"root's file, a user capturing", 0, kNobody, "it belongs to user root (uid 0), not to this user"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(::chown(path.c_str(), row.owner, row.owner), 0);
        const std::string answer = RunAsUser(row.user, row.user, [&] {
            TCaptureFile theirs;
            try {
                theirs.ToggleCapture(path);
            } catch (const EInOutError& e) {
                return std::string(e.what()) + (theirs.CaptureOn() ? " (on)" : "");
            }
            return std::string("used");
        });
        EXPECT_EQ(answer, "Cannot open file \"" + path + "\": " + row.refusal +
                              "; remove it or choose another capture file");
        EXPECT_EQ(ReadWholeFile(path), "theirs\r\n");
    }
    // The user's own file in the same folder is used.
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(RunAsUser(kNobody, kNobody, [&] {
                  TCaptureFile own;
                  own.ToggleCapture(path);
                  return std::string(own.CaptureOn() ? "on" : "off");
              }),
              "on");
}

// ---------------------------------------------------------------- commsUP.txt

struct CommsFile : TempHome {
    std::string path;
    void SetUp() override { path = (home() / "commsUP.txt").string(); }
};

TEST_F(CommsFile, ThePortIsTheFirstCharacterOfTheLastLine) {
    EXPECT_EQ(ReadCommsPortText(path), std::nullopt);
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"7,57600\r\n", "7"}, {"4,38400", "4"},  {"x,38400\r\n", "x"}, {"\r\n", ""},
        {"", std::nullopt},   {"3,38400\r\n5,38400\r\n", "5"}, {"12,38400\n", "1"},
    };
    for (const auto& [content, port] : cases) {
        WriteAll(path, content);
        EXPECT_EQ(ReadCommsPortText(path), port) << content;
    }
}

TEST_F(CommsFile, AnUnreadableFileIsAnError) {
    fs::create_directory(path);
    try {
        ReadCommsPortText(path);
        ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
    }
}

TEST_F(CommsFile, SavingReplacesTheFileWithOneLine) {
    WriteAll(path, "9,57600\r\nleft over from a longer file\r\n");
    SaveCommsSettingsFile(path, "3", "38400");
    EXPECT_EQ(ReadWholeFile(path), "3,38400\r\n");
    EXPECT_EQ(ReadCommsPortText(path), "3");
    // Nothing but the file itself is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(home()), fs::directory_iterator()), 1);
}

TEST_F(CommsFile, AFailedSaveKeepsTheOldContent) {
    WriteAll(path, "7,57600\r\n");
    {
        FileSizeLimit full(0);
        try {
            SaveCommsSettingsFile(path, "3", "38400");
            ADD_FAILURE() << "no error";
        } catch (const EInOutError& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
        }
    }
    EXPECT_EQ(ReadWholeFile(path), "7,57600\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(home()), fs::directory_iterator()), 1);

    WriteAll(home() / "notadir", "x");
    EXPECT_THROW(SaveCommsSettingsFile((home() / "notadir" / "commsUP.txt").string(), "3", "38400"), EInOutError);
}

// ---------------------------------------------------------------- ZURuzada.set

struct SetFile : TempHome {
    std::string h;
    fs::path set;
    void SetUp() override {
        h = fs::canonical(home()).string();
        set = home() / "ZURuzada.set";
    }
};

TEST_F(SetFile, LivesInTheHomeDirectory) {
    EXPECT_EQ(DataFilesSetPath(h), h + "/ZURuzada.set");
    EXPECT_EQ(DataFilesSetPath(h + "/"), h + "/ZURuzada.set");
}

TEST_F(SetFile, AnUpperCaseLineFindsTheRealDirectory) {
    fs::create_directories(home() / "Firmware" / "New");
    EXPECT_EQ(ReadDataFilesDir(h), h);  // no file yet
    for (const std::string line : {"C:\\FIRMWARE\\NEW", "c:\\firmware\\new\\", "C:\\Firmware\\New"}) {
        WriteAll(set, line + "\r\n");
        EXPECT_EQ(ReadDataFilesDir(h), h + "/Firmware/New") << line;
    }
}

TEST_F(SetFile, AnExactMatchComesFirstThenTheFirstInSortedOrder) {
    fs::create_directories(home() / "firmware");
    fs::create_directories(home() / "Firmware");
    fs::create_directories(home() / "FIRMWARE");
    WriteAll(set, "C:\\firmware\r\n");
    EXPECT_EQ(ReadDataFilesDir(h), h + "/firmware");
    fs::remove(home() / "FIRMWARE");
    WriteAll(set, "C:\\FIRMWARE\r\n");
    EXPECT_EQ(ReadDataFilesDir(h), h + "/Firmware");
}

TEST_F(SetFile, AnythingElseStartsAtHome) {
    fs::create_directories(home() / "Firmware");
    WriteAll(home() / "Notes", "a file, not a directory");
    const std::string lines[] = {
        "C:\\FIRMWARE\\GONE\r\n", "D:\\FIRMWARE\r\n", "\r\n", "C:\\\r\n", "c:\\\r\n", "C:\r\n",
        "C:\\NOTES\r\n", "C:\\..\\..\r\n", "CFIRMWARE\r\n", "/tmp\r\n", "",
    };
    for (const std::string& line : lines) {
        WriteAll(set, line);
        EXPECT_EQ(ReadDataFilesDir(h), h) << line;
    }
}

TEST_F(SetFile, AnUnreadableFileIsAnError) {
    fs::create_directory(set);
    EXPECT_THROW(ReadDataFilesDir(h), EInOutError);
    EXPECT_THROW(SaveDataFilesDir(h, h), EInOutError);
}

TEST_F(SetFile, SavedInUpperCaseRelativeToHome) {
    fs::create_directories(home() / "Firmware" / "New");
    SaveDataFilesDir(h + "/Firmware/New", h);
    EXPECT_EQ(ReadWholeFile(set), "C:\\FIRMWARE\\NEW\r\n");
    EXPECT_EQ(ReadDataFilesDir(h), h + "/Firmware/New");

    SaveDataFilesDir("/tmp", h);  // outside home, above it
    EXPECT_EQ(ReadWholeFile(set), "C:\\\r\n");
    EXPECT_EQ(ReadDataFilesDir(h), h);
    EXPECT_EQ(DataFilesLine(h, h), "C:\\");
    EXPECT_EQ(DataFilesLine(h + "/", h), "C:\\");
}

TEST_F(SetFile, HomeIsRecognisedWithoutRegardToCaseButOnlyAsAWholeName) {
    std::string upperHome = h;
    std::transform(upperHome.begin(), upperHome.end(), upperHome.begin(), ::toupper);
    EXPECT_EQ(DataFilesLine(upperHome + "/Data", h), "C:\\DATA");
    EXPECT_EQ(DataFilesLine(h + "more/Data", h), "C:\\");
    EXPECT_EQ(DataFilesLine(h + "/a/../b/./c", h), "C:\\B\\C");
}

TEST_F(SetFile, AFolderReachedThroughALinkStillCounts) {
    fs::create_directories(home() / "real" / "Fw");
    QTemporaryDir other;
    fs::path link = fs::path(other.path().toStdString()) / "link";
    fs::create_directory_symlink(home() / "real", link);
    EXPECT_EQ(DataFilesLine((link / "Fw").string(), h), "C:\\REAL\\FW");
}

}  // namespace

// ---------------------------------------------------------------- what stands where a file should

TEST_F(TempHome, NoSettingsOrCaptureOpenWaitsOnAFifo) {
    TCaptureFile cap;
    struct Row {
        const char* name;
        std::function<void(const std::string&)> open;
    } rows[] = {
        {"commsUP.txt", [](const std::string& p) { ReadCommsPortText(p); }},
        {"ZURuzada.set", [this](const std::string&) { ReadDataFilesDir(home().string()); }},
        {"Capture.txt", [&](const std::string& p) { cap.ToggleCapture(p); }},
    };
    for (const Row& r : rows) {
        const std::string fifo = (home() / r.name).string();
        const TFifoAttempt a = AttemptOnFifo(fifo, [&] { r.open(fifo); });
        EXPECT_FALSE(a.Blocked) << r.name;
        EXPECT_EQ(a.Error, "Cannot open file \"" + fifo + "\": not a regular file");
    }
    EXPECT_FALSE(cap.CaptureOn());
}

TEST_F(TempHome, SettingsFilesAreReadOnlyUpToTheirCap) {
    const std::string comms = (home() / "commsUP.txt").string();
    const std::string line = "3,38400\r\n";
    WriteAll(comms, std::string(64 * 1024 - line.size(), '\n') + line);
    EXPECT_EQ(ReadCommsPortText(comms), "3");
    WriteAll(comms, std::string(64 * 1024 + 1 - line.size(), '\n') + line);
    WriteAll(home() / "ZURuzada.set", "C:\\" + std::string(64 * 1024, 'A') + "\r\n");
    for (const std::string& file : {comms, (home() / "ZURuzada.set").string()}) {
        try {
            file == comms ? (void)ReadCommsPortText(file) : (void)ReadDataFilesDir(home().string());
            ADD_FAILURE() << "read whole: " << file;
        } catch (const EInOutError& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot read file \"" + file + "\": File too large");
        }
    }
}

TEST_F(TempHome, CaptureIsNeverWrittenThroughALink) {
    TCaptureFile cap;
    const std::string path = (home() / "Capture.txt").string(), target = (home() / "elsewhere.txt").string();
    fs::create_symlink(target, path);
    EXPECT_THROW(cap.ToggleCapture(path), EInOutError);
    EXPECT_FALSE(cap.CaptureOn());
    EXPECT_FALSE(fs::exists(target));
}
