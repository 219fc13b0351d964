// The files the preparation opens and writes: nothing waits on a FIFO, nothing is written through a
// symbolic link, and the upload-file and writability checks refuse what they must.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/RunError.h"
#include "base/SafeFile.h"
#include "firmware/BinaryImage.h"
#include "firmware/IntelHex.h"
#include "firmware/UploadFile.h"
#include "tests/support/Fifo.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(FirmwareFiles, AFifoWhereAFileIsExpectedIsRefusedAtOnce) {
    TBinaryImage image;
    THexReader reader;
    TZupFile zup;
    struct Row {
        const char* name;
        std::function<void(const std::string& fifo)> open;
    } rows[] = {
        {"in.h86", [&](const std::string& f) { reader.HexToBinaryFile(f, image); }},
        {"in.bin", [&](const std::string& f) { image.OpenExisting(f, FactoryImageChunks); }},
        {"X.BIN", [&](const std::string& f) { image.EmptyBinaryFile(f, FactoryImageChunks); }},
        {"X.ZUP", [&](const std::string& f) { BuildUploadFile(image, f); }},
        {"Y.ZUP", [&](const std::string& f) { CheckReplaceable(f); }},
        {"in.zup", [&](const std::string& f) { zup.Open(f); }},
    };
    TempDir dir;
    image.EmptyBinaryFile(dir / "work.BIN", FactoryImageChunks);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string fifo = dir / r.name;
        const TFifoAttempt a = AttemptOnFifo(fifo, [&] { r.open(fifo); });
        EXPECT_FALSE(a.Blocked);
        EXPECT_EQ(a.Error, "Cannot " + std::string(r.name[0] == 'i' ? "open" : "create") + " file \"" + fifo +
                               "\": not a regular file");
        struct stat st {};
        EXPECT_TRUE(::lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));  // left where it was
    }
}

TEST(FirmwareFiles, ImageFilesReplaceLinksAndKeepTheirMode) {
    TempDir dir, elsewhere;
    const std::string victim = elsewhere / "victim", bin = dir / "fw.BIN", zup = dir / "fw.ZUP";
    WriteWholeFile(victim, "keep me");
    fs::create_symlink(victim, bin);
    fs::create_symlink(elsewhere / "missing", zup);

    TBinaryImage image;
    image.EmptyBinaryFile(bin, FactoryImageChunks);
    EXPECT_EQ(ReadWholeFile(victim), "keep me");
    EXPECT_FALSE(fs::is_symlink(bin));
    const uint8_t data[] = {1, 2, 3};
    image.Write(0x100, data, 3);
    image.Flush();
    std::string want(65536, '\xFF');
    want.replace(0x100, 3, "\x01\x02\x03");
    EXPECT_TRUE(ReadWholeFile(bin) == want);

    // A dangling link where the upload file goes: the check creates nothing at its target.
    CheckReplaceable(zup);
    EXPECT_FALSE(fs::exists(elsewhere / "missing"));
    BuildUploadFile(image, zup);
    EXPECT_FALSE(fs::exists(elsewhere / "missing"));
    EXPECT_EQ(fs::file_size(zup), 139u);

    // A file the operator made group-readable only stays so when it is replaced.
    ASSERT_EQ(::chmod(zup.c_str(), 0640), 0);
    BuildUploadFile(image, zup);
    EXPECT_EQ(fs::status(zup).permissions(), fs::perms(0640));
    EXPECT_EQ(dir.Entries(), 2u);  // no temporary file left beside them
    EXPECT_EQ(elsewhere.Entries(), 1u);
}

TEST(FirmwareFiles, ReplaceableOnlyWhereAFileCouldBeWritten) {
    TempDir dir;
    WriteWholeFile(dir / "old.ZUP", "x");
    fs::create_directory(dir / "folder.ZUP");
    WriteWholeFile(dir / "ro.ZUP", "x");
    ::chmod((dir / "ro.ZUP").c_str(), 0444);
    struct Row {
        std::string path;
        std::string error;  // "" = replaceable
    } rows[] = {
        {dir / "new.ZUP", ""},
        {dir / "old.ZUP", ""},
        {dir / "none/x.ZUP", "Cannot create file \"" + dir / "none/x.ZUP" + "\": No such file or directory"},
        {dir / "folder.ZUP", "Cannot create file \"" + dir / "folder.ZUP" + "\": Is a directory"},
        {dir / "ro.ZUP", geteuid() == 0 ? "" : "Cannot create file \"" + dir / "ro.ZUP" + "\": Permission denied"},
    };
    for (const Row& r : rows) EXPECT_EQ(ErrorOf([&] { CheckReplaceable(r.path); }), r.error) << r.path;
    EXPECT_EQ(dir.Entries(), 3u);  // nothing created
}

TEST(FirmwareFiles, UploadFilesAreWholeBlocksAndATrailer) {
    TempDir dir;
    const std::string notBlocks = " bytes are not whole blocks of 135 bytes followed by a 4-character checksum";
    struct Row {
        long size;
        std::string error;  // after the quoted name
    } rows[] = {{4, ""}, {139, ""}, {274, ""}, {0, ": 0" + notBlocks}, {3, ": 3" + notBlocks}, {140, ": 140" + notBlocks}};
    for (const Row& r : rows) {
        const std::string name = dir / ("s" + std::to_string(r.size) + ".zup");
        WriteWholeFile(name, std::string(static_cast<size_t>(r.size), 'A'));
        const std::string want = r.error.empty() ? "" : "\"" + name + "\" is not an upload block file" + r.error;
        EXPECT_EQ(ErrorOf([&] { CheckUploadFile(name); }), want);
    }
    const std::string fifo = dir / "f.zup";
    EXPECT_EQ(AttemptOnFifo(fifo, [&] { CheckUploadFile(fifo); }).Error, "\"" + fifo + "\" is not a file");
    EXPECT_EQ(ErrorOf([&] { CheckUploadFile(dir / "gone.zup"); }),
              "Cannot open file \"" + dir / "gone.zup" + "\": No such file or directory");
}

TEST(SafeFiles, AReplacementTakesOnlyItsOwnUsersModeAndNeverTheSetIdBits) {
    struct UmaskGuard {
        mode_t old = ::umask(022);
        ~UmaskGuard() { ::umask(old); }
    } umaskGuard;
    const bool root = geteuid() == 0;
    struct Row {
        const char* name;
        int oldMode;  // -1: no old file
        bool otherOwner;
        mode_t want;
    } rows[] = {
        {"new file", -1, false, 0644},
        {"own, group-readable", 0640, false, 0640},
        {"own, set-user-id", 04755, false, 0755},
        {"own, set-group-id and sticky", 03775, false, 0775},
        {"another user's set-user-id file", 04755, true, 0644},
        {"another user's open file", 0666, true, 0644},
    };
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.otherOwner && !root) continue;  // only root can give a file away
        const std::string file = dir / "fw.BIN";
        fs::remove(file);
        if (r.oldMode >= 0) {
            WriteWholeFile(file, "");
            ASSERT_EQ(::chmod(file.c_str(), static_cast<mode_t>(r.oldMode)), 0);
            if (r.otherOwner) {
                ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
            }
            ASSERT_EQ(::chmod(file.c_str(), static_cast<mode_t>(r.oldMode)), 0);  // chown clears set-id bits
        }
        ReplaceFile(file, "image");
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, r.want);
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(ReadWholeFile(file), "image");
    }
}

TEST(SafeFiles, TemporariesOfKilledRunsForTheTargetAreRemoved) {
    // A process that has ended: its pid names no process (until the system hands it out again).
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const std::string gone = std::to_string(child), alive = std::to_string(::getppid());
    const bool root = geteuid() == 0;
    struct Row {
        std::string name;
        bool removed;
        bool otherOwner = false;
    } rows[] = {
        {".fw.ZUP.zup-" + gone + "-0.part", true},
        {".fw.ZUP.zup-" + gone + "-17.part", true},
        {".fw.ZUP.zup-" + alive + "-0.part", false},           // its writer is still at work
        {".fw.ZUP.zup-" + gone + "-1.part", false, true},     // another user's
        {".other.ZUP.zup-" + gone + "-0.part", false},         // another target's
        {".fw.ZUP.zup-" + gone + "-0.part.keep", false},       // not our naming
        {".fw.ZUP.zup-" + gone + ".part", false},
        {".fw.ZUP.zup-x" + gone + "-0.part", false},
        {".zup-" + gone + "-0.part", false},
        {"fw.ZUP.zup-" + gone + "-0.part", false},
    };
    TempDir dir;
    for (const Row& r : rows) {
        WriteWholeFile(dir / r.name, "left over");
        if (r.otherOwner && root) {
            ASSERT_EQ(::chown((dir / r.name).c_str(), 65534, 65534), 0);
        }
    }
    ReplaceFile(dir / "fw.ZUP", "new");
    for (const Row& r : rows) {
        const bool expectRemoved = r.removed || (r.otherOwner && !root);  // not root: the file is our own
        EXPECT_EQ(!fs::exists(dir / r.name), expectRemoved) << r.name;
    }
    EXPECT_EQ(ReadWholeFile(dir / "fw.ZUP"), "new");
}
