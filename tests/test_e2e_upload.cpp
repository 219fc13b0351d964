// Whole Software Uploads: the real window (headless), the real serial component on a
// pseudo-terminal, and the simulated unit.
#include <QFileInfo>
#include <QGroupBox>
#include <QRegularExpression>
#include <QProgressBar>
#include <sys/stat.h>

#include "base/Sha256.h"
#include "firmware/BinaryImage.h"
#include "history/HistoryStore.h"
#include "firmware/UploadFile.h"
#include "support/Firmware.h"
#include "support/SimUnit.h"
#include "support/Window.h"

namespace {

struct UploadRun {
    ProgramSession w;
    std::unique_ptr<SimUnit> sim;

    explicit UploadRun(std::vector<std::string> simArgs = {}, int tickMs = 3) : w(tickMs) {
        simArgs.insert(simArgs.end(), {"--restart-ms", "100"});
        sim = std::make_unique<SimUnit>(w.Folder(), 1, simArgs);
    }
    TForm1& F() { return w.F(); }
    std::string Home() { return w.Home(); }

    // Opens the port, chooses `name` (written into the home folder) and waits for the ready screen.
    void Prepare(const std::string& name, const std::string& content) {
        WriteWholeFile(Home() + name, content);
        ASSERT_TRUE(w.OpenPort("1", "38400"));
        ASSERT_EQ(w.Text(Control<QLabel>(F(), "Label12")), "Port is open on Com 1 at 38400 baud");
        ASSERT_TRUE(WaitUntil([&] { return Control<QPushButton>(F(), "BtnChooseFile")->isVisibleTo(&F()); }));
        w.ChooseFile(name);
        ASSERT_TRUE(WaitUntil([&] { return F().Engine().UploadState() == 0 && Control<QPushButton>(F(), "BtnStartRun")->isVisibleTo(&F()); }, 20000))
            << "state " << F().Engine().UploadState() << " messages " << F().Messages.size();
        ASSERT_EQ(w.Text(Control<QLabel>(F(), "Label15")), "THE UNIT MUST BE OFF");
    }
    // Presses Start Upload and waits for the sequencer to come to rest.
    void Run(int ms = 120000) {
        Control<QPushButton>(F(), "BtnStartRun")->click();
        ASSERT_EQ(F().Engine().UploadState(), 44);
        ASSERT_TRUE(w.WaitIdle(ms)) << "state " << F().Engine().UploadState();
    }
    void ExpectFlashHolds(const std::string& image) {
        const std::string flash = sim->Flash();
        ASSERT_EQ(flash.size(), image.size());
        if (flash != image) {
            size_t i = 0;
            while (flash[i] == image[i]) ++i;
            ADD_FAILURE() << "the unit's flash differs from the image first at 0x" << std::hex << i;
        }
    }
};

}  // namespace

TEST(SoftwareUpload, FromIntelHexIntoTheUnitThenRepeat) {
    UploadRun r;
    const TestFirmware fw = TestFirmware::Make(40, 7);
    r.Prepare("app.h86", fw.hex);
    TForm1& f = r.F();
    EXPECT_EQ(f.Engine().BlockCount(), 40);
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label8")), "Upload will be 40 blocks, less than 1 minute");
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label12")), "Data file conversion complete, chksum=" + fw.Checksum());
    r.Run();
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label15")), "Software Upload complete");
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label10")), "Program complete. <Go back to Start> or <Close>");
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label4")).rfind("Upload complete. Time taken: ", 0), 0u);
    EXPECT_TRUE(Control<QPushButton>(f, "BtnRepeatUpload")->isVisibleTo(&f));
    EXPECT_TRUE(Control<QPushButton>(f, "BtnBackToStart")->isVisibleTo(&f));
    EXPECT_EQ(f.Engine().HelpContext(), 5);
    r.ExpectFlashHolds(fw.image);
    auto rep = r.sim->Report();
    EXPECT_EQ(rep["blocks"], "40");
    EXPECT_EQ(rep["swr_queries"], "0");
    // The history counts up on one line.
    const QStringList hist = f.HistoryLines();
    EXPECT_TRUE(hist.contains("Sending block 40 of 40..."));
    EXPECT_FALSE(hist.contains("Sending Lines..."));
    // The prepared files lie beside the input.
    const std::string zup = ReadWholeFile(r.Home() + "app.ZUP");
    EXPECT_EQ(zup.size(), 40u * 135 + 4);
    EXPECT_EQ(zup.substr(zup.size() - 4), fw.Checksum());
    EXPECT_TRUE(ReadWholeFile(r.Home() + "app.BIN") == fw.image);

    // Repeat Upload: the same file again without a new conversion.
    struct stat before {};
    ASSERT_EQ(stat((r.Home() + "app.ZUP").c_str(), &before), 0);
    Control<QPushButton>(f, "BtnRepeatUpload")->click();
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().UploadState() == 0; }));
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label15")), "THE UNIT MUST BE OFF");
    EXPECT_EQ(f.Engine().HelpContext(), 4);
    EXPECT_FALSE(Control<QPushButton>(f, "BtnRepeatUpload")->isVisibleTo(&f));
    r.sim->PowerCycle();  // as the screen says: the unit, running its new application, off and on
    r.Run();
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label15")), "Software Upload complete");
    struct stat after {};
    ASSERT_EQ(stat((r.Home() + "app.ZUP").c_str(), &after), 0);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_EQ(r.sim->Report()["uploads"], "2");
    r.ExpectFlashHolds(fw.image);
    EXPECT_TRUE(f.Messages.empty());
}

TEST(SoftwareUpload, FromEachOtherFileType) {
    const TestFirmware fw = TestFirmware::Make(25, 11);
    {
        UploadRun r;
        r.Prepare("other.MCS", fw.hex);
        r.Run();
        EXPECT_EQ(r.w.Text(Control<QLabel>(r.F(), "Label15")), "Software Upload complete");
        r.ExpectFlashHolds(fw.image);
    }
    {
        // A binary image shorter than the flash counts as 0xFF past its end.
        UploadRun r;
        const size_t used = fw.image.find_last_not_of('\xFF') + 1;
        r.Prepare("image.bin", fw.image.substr(0, used));
        r.Run();
        EXPECT_EQ(r.w.Text(Control<QLabel>(r.F(), "Label15")), "Software Upload complete");
        r.ExpectFlashHolds(fw.image);
        EXPECT_EQ(ReadWholeFile(r.Home() + "image.bin").size(), used);  // the input is never changed
    }
    {
        UploadRun r;
        TBinaryImage image;
        WriteWholeFile(r.Home() + "src.bin", fw.image);
        image.OpenExisting(r.Home() + "src.bin", 32768);
        BuildUploadFile(image, r.Home() + "ready.zup");
        r.Prepare("ready.zup", ReadWholeFile(r.Home() + "ready.zup"));
        EXPECT_EQ(r.F().Engine().BlockCount(), 25);
        r.Run();
        EXPECT_EQ(r.w.Text(Control<QLabel>(r.F(), "Label15")), "Software Upload complete");
        r.ExpectFlashHolds(fw.image);
    }
}

TEST(SoftwareUpload, TwoThousandBlocksAreVerifiedAfterTheRestart) {
    UploadRun r;
    const TestFirmware fw = TestFirmware::Make(2000, 3);
    r.Prepare("big.h86", fw.hex);
    r.Run(240000);
    TForm1& f = r.F();
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label15")), "Checksums match, Upload successful");
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label12")), "Unit memory checksum: " + fw.Checksum());
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label8")), "Upload file checksum: " + fw.Checksum());
    EXPECT_EQ(f.Serial1().Baudrate(), 9600);  // stays until a new job sets it
    r.ExpectFlashHolds(fw.image);
    auto rep = r.sim->Report();
    EXPECT_NE(rep["speeds"].find("9600"), std::string::npos);
    EXPECT_GE(std::stoi(rep["fcs_queries"]), 1);
    EXPECT_LE(std::stoi(rep["swr_queries"]), 20);
}

TEST(SoftwareUpload, TheUnitsFailureHaltsTheUpload) {
    UploadRun r({"--fail-at", "4"});
    const TestFirmware fw = TestFirmware::Make(10, 10);
    r.Prepare("a.h86", fw.hex);
    TForm1& f = r.F();
    Control<QPushButton>(f, "BtnCaptureFile")->click();
    ASSERT_TRUE(f.Engine().CaptureOn());
    r.Run();
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label2")), "Upload failed");
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label15")), "Software upload halted");
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label10")), "Click on <Close> button");
    EXPECT_TRUE(Control<QPushButton>(f, "BtnRepeatUpload")->isVisibleTo(&f));
    EXPECT_TRUE(Control<QPushButton>(f, "BtnBackToStart")->isVisibleTo(&f));
    // The unit's failure ends capture, and the screen says so.
    EXPECT_FALSE(f.Engine().CaptureOn());
    EXPECT_EQ(Control<QLabel>(f, "Label11")->text().toStdString(), "Disabled");
    EXPECT_EQ(Control<QPushButton>(f, "BtnCaptureFile")->text().toStdString(), "&Enable Capture File");
}

TEST(SoftwareUpload, AWaitThatRunsOutIsReported) {
    struct Case {
        std::vector<std::string> args;
        std::string text;
    };
    for (const Case& c : {Case{{"--no-thank-you"}, "Timed out waiting for Thank You"}}) {
        UploadRun r(c.args, 2);
        const TestFirmware fw = TestFirmware::Make(3, 12);
        r.Prepare("t.h86", fw.hex);
        r.Run();
        TForm1& f = r.F();
        EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label2")), c.text) << c.args[0];
        EXPECT_EQ(f.HistoryLines().last().toStdString(), c.text);
        EXPECT_TRUE(Control<QPushButton>(f, "BtnBackToStart")->isVisibleTo(&f));
        EXPECT_TRUE(Control<QPushButton>(f, "BtnRepeatUpload")->isVisibleTo(&f));
        EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label10")), "");
    }
}

TEST(SoftwareUpload, BadInputIsReportedOnceAndNothingOnDiskIsDamaged) {
    UploadRun r;
    TForm1& f = r.F();
    // An earlier good conversion leaves app.BIN and app.ZUP; a bad file of the same name must not
    // destroy the upload file.
    const TestFirmware fw = TestFirmware::Make(5, 15);
    r.Prepare("app.h86", fw.hex);
    const std::string goodZup = ReadWholeFile(r.Home() + "app.ZUP");
    Control<QPushButton>(f, "BtnBackToStart")->click();

    std::string bad = fw.hex;
    bad.replace(bad.find(":10") + 12, 2, "G1");
    WriteWholeFile(r.Home() + "app.h86", bad);
    ASSERT_TRUE(r.w.OpenPort());
    ASSERT_TRUE(WaitUntil([&] { return Control<QPushButton>(f, "BtnChooseFile")->isVisibleTo(&f); }));
    r.w.ChooseFile("app.h86");
    ASSERT_TRUE(WaitUntil([&] { return !f.Messages.empty() && f.Engine().UploadState() == 0; }, 10000));
    WaitUntil([] { return false; }, 100);
    ASSERT_EQ(f.Messages.size(), 1u);
    const std::string msg = f.Messages[0].toStdString();
    EXPECT_NE(msg.find("app.h86"), std::string::npos) << msg;
    EXPECT_NE(msg.find("line 2"), std::string::npos) << msg;
    EXPECT_NE(msg.find("not a valid hexadecimal number"), std::string::npos) << msg;
    EXPECT_TRUE(Control<QPushButton>(f, "BtnChooseFile")->isVisibleTo(&f));
    EXPECT_TRUE(ReadWholeFile(r.Home() + "app.ZUP") == goodZup);

    // A file that vanishes between the choice and its conversion.
    f.Messages.clear();
    WriteWholeFile(r.Home() + "gone.h86", fw.hex);
    r.w.ChooseFile("gone.h86");
    ASSERT_EQ(std::remove((r.Home() + "gone.h86").c_str()), 0);
    ASSERT_TRUE(WaitUntil([&] { return !f.Messages.empty() && f.Engine().UploadState() == 0; }, 10000));
    EXPECT_NE(f.Messages[0].toStdString().find("gone.h86"), std::string::npos);
    EXPECT_TRUE(Control<QPushButton>(f, "BtnChooseFile")->isVisibleTo(&f));

    // Upload block files that are not whole: shorter than a block, and without a trailer.
    for (const std::string& name : {std::string("short.zup"), std::string("notrailer.zup")}) {
        f.Messages.clear();
        WriteWholeFile(r.Home() + name, name == "short.zup" ? std::string(60, 'A') : goodZup.substr(0, 135 * 2));
        r.w.ChooseFile(name);
        ASSERT_EQ(f.Messages.size(), 1u) << name;
        EXPECT_NE(f.Messages[0].toStdString().find(name), std::string::npos);
        EXPECT_EQ(f.Engine().UploadState(), 0);
        EXPECT_TRUE(Control<QPushButton>(f, "BtnChooseFile")->isVisibleTo(&f));
        EXPECT_FALSE(Control<QPushButton>(f, "BtnStartRun")->isVisibleTo(&f) && Control<QGroupBox>(f, "RunBox")->isVisibleTo(&f) &&
                     Control<QLabel>(f, "Label15")->text() == "THE UNIT MUST BE OFF" && f.Engine().BlockCount() == 0);
    }

    // An unrecognised extension keeps Choose File and names the extension in upper case.
    WriteWholeFile(r.Home() + "notes.txt", "x");
    r.w.ChooseFile("notes.txt");
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().UploadState() == 0 && Control<QLabel>(f, "Label12")->text().startsWith("Unexpected"); }));
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label12")), "Unexpected file extension (TXT), choose another file");
    EXPECT_TRUE(Control<QPushButton>(f, "BtnChooseFile")->isVisibleTo(&f));
}

// Close while the unit is being written asks first; "no" lets the upload go on, "yes" stops it and
// the result says where. Before the GO nothing is at stake and Close closes at once.
TEST(SoftwareUpload, CloseWhileTheUnitIsWrittenAsksFirst) {
    TempDir folder, home;
    ProgramSession s(folder.Path(), home.Path());
    TForm1& f = s.F();
    SimUnit sim(s.Folder(), 1, {"--slow", "10"});
    ASSERT_TRUE(s.OpenPort("1"));
    ASSERT_TRUE(s.PrepareFile("fw.h86", TestFirmware::Make(300, 4).hex));
    Control<QPushButton>(f, "BtnStartRun")->click();
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().BlocksSent() > 0; }));

    Control<QPushButton>(f, "BtnClose")->click();
    ASSERT_EQ(f.Questions.size(), 1u);
    EXPECT_NE(f.Questions.front().indexOf("half-written"), -1);
    ASSERT_TRUE(f.LastResult().has_value());
    EXPECT_EQ(f.LastResult()->Job, TJob::Prepare) << "the unit's job has no result yet";
    const int before = f.Engine().BlocksSent();
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().BlocksSent() > before; })) << "the upload goes on after 'no'";

    f.CloseWhileWritingAnswer = true;
    Control<QPushButton>(f, "BtnClose")->click();
    ASSERT_TRUE(f.LastResult().has_value());
    EXPECT_EQ(f.LastResult()->Kind, TResultKind::Interrupted);
    EXPECT_EQ(f.LastResult()->Reason.rfind("stopped at block ", 0), 0u) << f.LastResult()->Reason;
    EXPECT_FALSE(f.Engine().Writing());
}

// After a file that could not be prepared, Go Back to Start stays on offer through the next
// upload: pressed while the unit is written it asks first, as Close does, and "yes" ends the job
// as interrupted.
TEST(SoftwareUpload, BackToStartWhileTheUnitIsWrittenAsksFirst) {
    TempDir folder, home;
    ProgramSession s(folder.Path(), home.Path());
    TForm1& f = s.F();
    SimUnit sim(s.Folder(), 1, {"--slow", "10"});
    ASSERT_TRUE(s.OpenPort("1"));
    WriteWholeFile(s.Home() + "bad.h86", "Release notes\n");
    s.ChooseFile("bad.h86");
    ASSERT_TRUE(WaitUntil([&] { return f.Messages.size() == 1; }));
    ASSERT_TRUE(s.PrepareFile("fw.h86", TestFirmware::Make(300, 4).hex));
    Control<QPushButton>(f, "BtnStartRun")->click();
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().BlocksSent() > 0; }));
    f.CloseWhileWritingAnswer = false;
    f.BtnBackToStartClick();
    ASSERT_EQ(f.Questions.size(), 1u);
    const int before = f.Engine().BlocksSent();
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().BlocksSent() > before; })) << "the upload goes on after 'no'";
    f.CloseWhileWritingAnswer = true;
    f.BtnBackToStartClick();
    ASSERT_TRUE(f.LastResult().has_value());
    EXPECT_EQ(f.LastResult()->Kind, TResultKind::Interrupted);
    EXPECT_FALSE(f.Engine().Writing());
}

TEST(SoftwareUpload, CloseBeforeTheUnitIsWrittenAsksNothing) {
    TempDir folder, home;
    ProgramSession s(folder.Path(), home.Path());
    TForm1& f = s.F();
    SimUnit sim(s.Folder(), 1);
    ASSERT_TRUE(s.OpenPort("1"));
    ASSERT_TRUE(s.PrepareFile("fw.h86", TestFirmware::Make(10, 4).hex));
    Control<QPushButton>(f, "BtnClose")->click();
    EXPECT_TRUE(f.Questions.empty());
    EXPECT_FALSE(f.LastResult().has_value() && f.LastResult()->Kind == TResultKind::Interrupted);
}

// The window's jobs land in the same record as the command line's.
TEST(SoftwareUpload, EachJobOfTheWindowIsRecorded) {
    TempDir folder, home;
    ProgramSession s(folder.Path(), home.Path());
    TForm1& f = s.F();
    SimUnit sim(s.Folder(), 1);
    const TestFirmware fw = TestFirmware::Make(12, 8);
    ASSERT_TRUE(s.OpenPort("1"));
    ASSERT_TRUE(s.PrepareFile("fw.h86", fw.hex));
    ASSERT_TRUE(s.StartAndWait());
    ASSERT_TRUE(WaitUntil([&] { return f.RecordsTried() == 1; }));
    EXPECT_TRUE(f.Messages.empty()) << f.Messages.front().toStdString();
    QString error;
    auto store = THistoryStore::Open(QString::fromStdString(s.Folder() + "history.sqlite"), error);
    ASSERT_TRUE(store) << error.toStdString();
    std::vector<TJobRecord> rows;
    ASSERT_TRUE(store->Query({}, rows, error)) << error.toStdString();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Result, "sent");
    EXPECT_EQ(rows[0].InputSha256.toStdString(), Sha256Hex(fw.hex));
    EXPECT_EQ(rows[0].BlocksSent, 12);
    EXPECT_EQ(rows[0].ComPort, 1);
}
