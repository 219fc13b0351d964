// "commsUP.txt", the remembered COM port, as successive runs of the window read and write it.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "support/Firmware.h"
#include "support/SimUnit.h"
#include "support/Window.h"

namespace {

struct Folders {
    TempDir program, home;
    std::string Program() const { return program.Path() + "/"; }
    std::string Home() const { return home.Path() + "/"; }
    std::string Settings() const { return Program() + "commsUP.txt"; }
};

timespec ModifiedAt(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mtim;
}

// Sets a file's modification time an hour back, so that any rewrite shows.
void AgeFile(const std::string& path) {
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time(nullptr) - 3600;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

}  // namespace

TEST(CommsSettings, TheStartScreenShowsTheRememberedPortAndAlways38400) {
    struct Case {
        const char* content;  // nullptr: no file
        std::string port;
        int index;
    };
    for (const Case& c : {Case{"7,57600\r\n", "7", 6}, Case{nullptr, "1", 0}, Case{"3,38400\r\n", "3", 2},
                          Case{"9", "9", 8}, Case{"", "1", 0}}) {
        Folders d;
        if (c.content) WriteWholeFile(d.Settings(), c.content);
        ProgramSession s(d.Program(), d.Home());
        TForm1& f = s.F();
        const std::string what = c.content ? std::string("file \"") + c.content + "\"" : "no file";
        EXPECT_EQ(Control<QComboBox>(f, "CommPortBox")->currentText().toStdString(), c.port) << what;
        EXPECT_EQ(Control<QComboBox>(f, "CommPortBox")->currentIndex(), c.index) << what;
        EXPECT_EQ(Control<QComboBox>(f, "BaudRateBox")->currentText().toStdString(), "38400") << what;
        EXPECT_EQ(f.Engine().SavedPort(), c.port) << what;
        EXPECT_TRUE(f.Messages.empty()) << what;
        // Reading never writes.
        if (c.content) EXPECT_EQ(ReadWholeFile(d.Settings()), c.content);
        else EXPECT_EQ(::access(d.Settings().c_str(), F_OK), -1);
    }
}

TEST(CommsSettings, AFirstCharacterThatNamesNoPortLeavesTheSelectorEmptyAndTheProgramStarts) {
    for (const char* content : {"x,9\r\n", "0,38400\r\n", ",38400\r\n"}) {
        Folders d;
        WriteWholeFile(d.Settings(), content);
        ProgramSession s(d.Program(), d.Home());
        TForm1& f = s.F();
        EXPECT_EQ(Control<QComboBox>(f, "CommPortBox")->currentText().toStdString(), "") << content;
        EXPECT_EQ(Control<QComboBox>(f, "CommPortBox")->currentIndex(), -1) << content;
        EXPECT_EQ(Control<QComboBox>(f, "BaudRateBox")->currentText().toStdString(), "38400") << content;
        EXPECT_TRUE(Control<QTimer>(f, "Timer1")->isActive());
        EXPECT_EQ(f.Engine().UploadState(), 0);
        EXPECT_TRUE(s.Shown(Control<QGroupBox>(f, "OpeningBox")));
        EXPECT_FALSE(s.Shown(Control<QGroupBox>(f, "MainBox")));
        EXPECT_TRUE(f.Messages.empty()) << content;
    }
}

TEST(CommsSettings, AnOpeningOnAnotherPortIsRememberedAndOnTheSamePortChangesNothing) {
    Folders d;
    WriteWholeFile(d.Settings(), "1,38400\r\n");
    {
        ProgramSession s(d.Program(), d.Home());
        TForm1& f = s.F();
        ASSERT_EQ(Control<QComboBox>(f, "CommPortBox")->currentText().toStdString(), "1");
        SimUnit sim(s.Folder(), 2);
        ASSERT_TRUE(s.OpenPort("2"));
        ASSERT_EQ(s.Text(Control<QLabel>(f, "Label12")), "Port is open on Com 2 at 38400 baud");
        EXPECT_EQ(ReadWholeFile(d.Settings()), "2,38400\r\n");
        // What was read at start-up stays the reference: the same new port is written again.
        ASSERT_EQ(std::remove(d.Settings().c_str()), 0);
        Control<QPushButton>(f, "BtnBackToStart")->click();
        ASSERT_TRUE(s.OpenPort("2"));
        EXPECT_EQ(ReadWholeFile(d.Settings()), "2,38400\r\n");
        EXPECT_TRUE(f.Messages.empty());
        // The settings file is all that is left behind in the program folder besides the unit's.
        for (const std::string& name : Entries(d.Program()))
            EXPECT_EQ(name.rfind(".tmp", 0), std::string::npos) << name;
    }
    {
        // The next run starts on the remembered port; opening it there leaves the file alone,
        // even where its baud field differs from the one in use.
        WriteWholeFile(d.Settings(), "2,57600\r\n");
        AgeFile(d.Settings());
        const timespec before = ModifiedAt(d.Settings());
        ProgramSession s(d.Program(), d.Home());
        TForm1& f = s.F();
        ASSERT_EQ(Control<QComboBox>(f, "CommPortBox")->currentText().toStdString(), "2");
        SimUnit sim(s.Folder(), 2);
        ASSERT_TRUE(s.OpenPort("2"));
        ASSERT_EQ(s.Text(Control<QLabel>(f, "Label12")), "Port is open on Com 2 at 38400 baud");
        EXPECT_EQ(ReadWholeFile(d.Settings()), "2,57600\r\n");
        const timespec after = ModifiedAt(d.Settings());
        EXPECT_EQ(before.tv_sec, after.tv_sec);
        EXPECT_EQ(before.tv_nsec, after.tv_nsec);
        EXPECT_TRUE(f.Messages.empty());
    }
}

TEST(CommsSettings, ASettingsFileThatCannotBeWrittenIsReportedAndTheUploadGoesOn) {
    Folders d;
    ProgramSession s(d.Program(), d.Home());
    TForm1& f = s.F();
    ASSERT_EQ(Control<QComboBox>(f, "CommPortBox")->currentText().toStdString(), "1");
    // Something that is not a file stands where the settings go.
    ASSERT_EQ(::mkdir(d.Settings().c_str(), 0755), 0);
    SimUnit sim(s.Folder(), 2, {"--restart-ms", "100"});
    ASSERT_TRUE(s.OpenPort("2"));
    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label12")), "Port is open on Com 2 at 38400 baud");
    ASSERT_EQ(f.Messages.size(), 1u);
    const std::string msg = f.Messages[0].toStdString();
    EXPECT_NE(msg.find(d.Settings()), std::string::npos) << msg;
    EXPECT_TRUE(s.Shown(Control<QPushButton>(f, "BtnChooseFile")));

    const TestFirmware fw = TestFirmware::Make(5, 31);
    ASSERT_TRUE(s.PrepareFile("s.h86", fw.hex));
    ASSERT_TRUE(s.StartAndWait());
    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label15")), "Software Upload complete");
    EXPECT_TRUE(FlashHolds(sim, fw.image));
    EXPECT_EQ(f.Messages.size(), 1u);
    struct stat st {};
    ASSERT_EQ(::stat(d.Settings().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    for (const std::string& name : Entries(d.Program())) EXPECT_EQ(name.rfind(".tmp", 0), std::string::npos) << name;
}

TEST(CommsSettings, ASettingsFileThatCannotBeReadIsReportedAndTheProgramStartsOnPortOne) {
    Folders d;
    ASSERT_EQ(::mkdir(d.Settings().c_str(), 0755), 0);
    ProgramSession s(d.Program(), d.Home());
    TForm1& f = s.F();
    ASSERT_EQ(f.Messages.size(), 1u);
    EXPECT_NE(f.Messages[0].toStdString().find(d.Settings()), std::string::npos) << f.Messages[0].toStdString();
    EXPECT_EQ(Control<QComboBox>(f, "CommPortBox")->currentText().toStdString(), "1");
    EXPECT_EQ(Control<QComboBox>(f, "BaudRateBox")->currentText().toStdString(), "38400");
    EXPECT_TRUE(Control<QTimer>(f, "Timer1")->isActive());
    EXPECT_EQ(f.Engine().UploadState(), 0);
    EXPECT_TRUE(s.Shown(Control<QGroupBox>(f, "OpeningBox")));
    // The port still opens.
    SimUnit sim(s.Folder(), 1);
    ASSERT_TRUE(s.OpenPort("1"));
    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label12")), "Port is open on Com 1 at 38400 baud");
    EXPECT_EQ(f.Messages.size(), 1u);
}
