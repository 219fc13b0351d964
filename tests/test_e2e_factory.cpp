// Whole Factory Bootstrap Uploads: the real window (headless), the real serial component on a
// pseudo-terminal, and the simulated unit playing the C161's bootstrap loader and then the boot
// code that the bootstrap image carries.
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGroupBox>
#include <QRegularExpression>
#include <unistd.h>

#include <set>

#include "firmware/BinaryImage.h"
#include "firmware/BuiltinImages.h"
#include "firmware/IntelHex.h"
#include "support/Firmware.h"
#include "support/SimUnit.h"
#include "support/Window.h"

namespace {

const char* const kLoader1Hex =
    "E6582200E6F1AB00E6F200F67EB79AB7FE70A402B2FE0821A0119DF8EA0000F6";

// The FlashCode image as the unit's 64 KiB flash must hold it after the job, built independently
// of the sequencer from the built-in lines.
std::string ExpectedFlashCodeImage(const std::string& folder) {
    TBinaryImage image;
    image.EmptyBinaryFile(folder + "expected.BIN", FactoryImageChunks);
    const auto& lines = MemoFlshCodeLines();
    size_t next = 0;
    THexReader reader;
    reader.HexToBinary([&](std::string& line) {
        if (next >= lines.size()) return false;
        line = lines[next++];
        return true;
    }, image);
    return std::string(image.Bytes().begin(), image.Bytes().end());
}

std::string Hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
    return b;
}

bool Exists(const std::string& path) { return QFileInfo::exists(QString::fromStdString(path)); }

struct FactoryRun {
    ProgramSession w;
    std::unique_ptr<SimUnit> sim;
    // Every distinct last history line seen while the job ran, in order of appearance.
    std::vector<std::string> lastLines;
    bool reservedSeen = false;

    explicit FactoryRun(const std::vector<std::string>& simArgs = {}, int tickMs = 20) : w(tickMs) {
        sim = std::make_unique<SimUnit>(w.Folder(), 1, simArgs);
    }
    TForm1& F() { return w.F(); }
    bool Shown(QWidget* widget) { return widget->isVisibleTo(&F()); }
    std::string Last() { return F().HistoryLines().last().toStdString(); }

    // "Factory Bootstrap Upload" on `port`; waits until the port is reported.
    void Open(const QString& port = "1") {
        Control<QComboBox>(F(), "CommPortBox")->setEditText(port);
        Control<QPushButton>(F(), "BtnBoot")->click();
        ASSERT_EQ(F().Engine().UploadState(), 5);
        ASSERT_TRUE(Shown(Control<QGroupBox>(F(), "FactoryBox")));
        ASSERT_EQ(F().HistoryLines(), QStringList{"Opening Com Port " + port + "..."});
        ASSERT_TRUE(WaitUntil([&] { return F().Engine().UploadState() == 0 && F().HistoryLines().size() == 2; }, 10000))
            << "state " << F().Engine().UploadState();
    }
    // Opens COM1 and checks the jumper instructions of the port-open screen.
    void OpenWell() {
        ASSERT_NO_FATAL_FAILURE(Open());
        TForm1& f = F();
        ASSERT_EQ(Last(), "Port is open on Com 1 at 19200 baud");
        ASSERT_TRUE(Shown(Control<QPushButton>(f, "BtnGoOn")));
        EXPECT_EQ(w.Text(Control<QLabel>(f, "Label1")), "With power off, put a jumper on the Bootstrap Enable header (JP1)"
                                    " and a jumper on the Bootblock Unprotect header (JP2)");
        EXPECT_EQ(w.Text(Control<QLabel>(f, "Label16")), "Turn the Unit power on, then click on <Proceed>");
        EXPECT_EQ(w.Text(Control<QLabel>(f, "Label19")), "Factory Upload will take about " + std::to_string(FactorySeconds()) + " seconds");
        EXPECT_FALSE(Shown(Control<QLabel>(f, "LblConvJP3")));
        EXPECT_EQ(f.Serial1().Baudrate(), 19200);
    }
    // "&Proceed", then waits for the sequencer to come to rest, noting the history as it goes.
    void Proceed(int ms = 60000) {
        Control<QPushButton>(F(), "BtnGoOn")->click();
        ASSERT_EQ(F().Engine().UploadState(), 544);
        ASSERT_FALSE(Shown(Control<QPushButton>(F(), "BtnGoOn")));
        ASSERT_TRUE(WaitUntil([&] {
            const std::string last = Last();
            if (lastLines.empty() || lastLines.back() != last) lastLines.push_back(last);
            if (Exists(w.Folder() + "Reserved.ZUP")) reservedSeen = true;
            return F().Engine().UploadState() == 0;
        }, ms)) << "state " << F().Engine().UploadState() << ", last line " << Last();
    }
    void ExpectNoButtonOffered() {
        TForm1& f = F();
        EXPECT_EQ(f.Engine().UploadState(), 0);
        EXPECT_FALSE(Shown(Control<QPushButton>(f, "BtnGoOn")));
        EXPECT_FALSE(Shown(Control<QPushButton>(f, "BtnBackToStart")));
        EXPECT_FALSE(Shown(Control<QPushButton>(f, "BtnRepeatUpload")));
        EXPECT_TRUE(Shown(Control<QPushButton>(f, "BtnClose")));
    }
    void ExpectCompleted() {
        TForm1& f = F();
        EXPECT_EQ(f.Engine().UploadState(), 0);
        EXPECT_TRUE(QRegularExpression("^Factory Upload completed in (\\d+ seconds|\\d\\d:\\d\\d minutes)$")
                        .match(QString::fromStdString(Last()))
                        .hasMatch())
            << Last();
        EXPECT_TRUE(Shown(Control<QPushButton>(f, "BtnBackToStart")));
        EXPECT_FALSE(Shown(Control<QPushButton>(f, "BtnRepeatUpload")));
        EXPECT_FALSE(Shown(Control<QPushButton>(f, "BtnGoOn")));
    }
    void ExpectFlashCodeInUnit() {
        const std::string expected = ExpectedFlashCodeImage(w.Home());
        const std::string flash = sim->Flash();
        ASSERT_EQ(flash.size(), 64u * 1024);
        if (flash != expected) {
            size_t i = 0;
            while (flash[i] == expected[i]) ++i;
            ADD_FAILURE() << "the unit's flash differs from the FlashCode image first at 0x" << std::hex << i;
        }
    }
};

}  // namespace

TEST(FactoryUpload, TheWholeJobPutsTheFlashCodeIntoTheUnit) {
    FactoryRun r;
    ASSERT_NO_FATAL_FAILURE(r.OpenWell());
    TForm1& f = r.F();
    ASSERT_NO_FATAL_FAILURE(r.Proceed());
    r.ExpectCompleted();

    // The history of the job, line by line; the record and block counters each kept one line.
    const QStringList hist = f.HistoryLines();
    const std::vector<std::string> expected = {
        "Opening Com Port 1...", "Port is open on Com 1 at 19200 baud", "Establishing comms with the C161 chip...",
        "Got correct response from C161 chip", "Sending Loader 1...", "Loader 1 complete", "Sending Loader 2...",
        "Loader 2 complete", "Sending Bootstrap...", "Sending line 161...", "Bootstrap Upload complete",
        "Changing baudrate to 38400...", "Emptying binary file...", "Binary file emptied",
        "Processing .h86 to .bin format...", ".bin complete", "Processing .bin to .zup format...",
        ".zup complete", "Checksum is 6890", "Got U,READY handshake", "Sending GO", "Erasing...",
        "Erase complete", "Sending FlashCode...", "Sending block 42 of 42...", "FlashCode Upload complete", " "};
    ASSERT_EQ(hist.size(), static_cast<qsizetype>(expected.size() + 1)) << hist.join('|').toStdString();
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(hist[static_cast<qsizetype>(i)].toStdString(), expected[i]);
    EXPECT_FALSE(hist.contains("Sending Lines..."));

    // The record counter counted up in place: every "Sending line N..." seen as the last line came
    // after a smaller one, and it began where "Sending Lines..." would have stood.
    int previous = 0, seen = 0;
    for (const std::string& line : r.lastLines) {
        int n = 0;
        if (std::sscanf(line.c_str(), "Sending line %d...", &n) == 1) {
            EXPECT_GT(n, previous) << line;
            previous = n;
            ++seen;
        }
    }
    EXPECT_GE(seen, 2);
    EXPECT_LE(previous, 161);

    // The unit got every record and now holds the FlashCode image.
    auto rep = r.sim->Report();
    EXPECT_EQ(rep["bootstrap_records"], "161");
    EXPECT_EQ(rep["bootstrap_bytes"], "3149");
    EXPECT_EQ(rep["factory"], "1");
    EXPECT_EQ(rep["blocks"], "42");
    EXPECT_EQ(rep["uploads"], "1");
    EXPECT_EQ(rep["errors"], "0") << rep["last_error"];
    r.ExpectFlashCodeInUnit();
    unsigned sum = 0;
    for (unsigned char c : ExpectedFlashCodeImage(r.w.Home())) sum += c;
    EXPECT_EQ(Hex4(sum), "6890");  // the checksum the history announced is the image's own

    // The reserved files served the job and are gone.
    EXPECT_TRUE(r.reservedSeen);
    EXPECT_FALSE(Exists(r.w.Folder() + "Reserved.ZUP"));
    EXPECT_FALSE(Exists(r.w.Folder() + "Reserved.BIN"));

    // The screen of the finished job.
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label19")), "");
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label1")), "Turn off power to the Unit and remove the Bootstrap jumpers JP1 and JP2");
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label16")), "Click on <Go Back to Start> to upload main Application Software");
    EXPECT_EQ(f.Serial1().Baudrate(), 38400);
    EXPECT_TRUE(f.Messages.empty());

    Control<QPushButton>(f, "BtnBackToStart")->click();
    EXPECT_TRUE(r.Shown(Control<QGroupBox>(f, "OpeningBox")));
    EXPECT_FALSE(r.Shown(Control<QGroupBox>(f, "FactoryBox")));
}

TEST(FactoryUpload, TheCaptureFileRecordsTheWholeConversation) {
    FactoryRun r;
    ASSERT_NO_FATAL_FAILURE(r.OpenWell());
    TForm1& f = r.F();
    Control<QPushButton>(f, "BtnCaptureFile")->click();
    ASSERT_TRUE(f.Engine().CaptureOn());
    ASSERT_NO_FATAL_FAILURE(r.Proceed());
    r.ExpectCompleted();
    Control<QPushButton>(f, "BtnCaptureFile")->click();
    ASSERT_FALSE(f.Engine().CaptureOn());

    std::map<std::string, std::vector<std::string>> byTag;
    std::istringstream in(ReadWholeFile(r.w.Folder() + "Capture.txt"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t open = line.find('[');
        const size_t close = line.find(']', open);
        if (open == std::string::npos || close == std::string::npos) continue;
        byTag[line.substr(open, close - open + 1)].push_back(line.substr(close + 1));
    }
    const auto& out = byTag["[out]"];
    EXPECT_NE(std::find(out.begin(), out.end(), "char 0"), out.end());
    EXPECT_NE(std::find(out.begin(), out.end(), kLoader1Hex), out.end());
    // Every bootstrap line as it was taken, and every FlashCode line as it was read, in order.
    EXPECT_EQ(byTag["[mem]"], MemoBootLines());
    EXPECT_EQ(byTag["[fsh]"], MemoFlshCodeLines());
    EXPECT_EQ(byTag["[mem]"].size(), 161u);
    EXPECT_EQ(byTag["[fsh]"].size(), 390u);
    // One dump of three lines per block of the FlashCode stage.
    EXPECT_EQ(byTag["[info  ]"].size(), 42u);
    EXPECT_EQ(byTag["[B0-128]"].size(), 42u);
    EXPECT_EQ(byTag["[B128+ ]"].size(), 42u);
    for (const auto& b : byTag["[B0-128]"]) EXPECT_EQ(b.size(), 128u);
    // The blocks go out in address order, the one at 008280 last.
    ASSERT_FALSE(byTag["[info  ]"].empty());
    EXPECT_NE(byTag["[info  ]"].back().find("addr 008280"), std::string::npos) << byTag["[info  ]"].back();
}

TEST(FactoryUpload, AUnitWithoutSwitchesAnswersBothJobs) {
    FactoryRun r;
    ASSERT_NO_FATAL_FAILURE(r.OpenWell());
    ASSERT_NO_FATAL_FAILURE(r.Proceed());
    r.ExpectCompleted();
    TForm1& f = r.F();
    Control<QPushButton>(f, "BtnBackToStart")->click();
    // The operator removes the jumpers and switches the unit off and on; then the everyday job.
    r.sim->PowerCycle();
    const TestFirmware fw = TestFirmware::Make(6, 21);
    WriteWholeFile(r.w.Home() + "app.h86", fw.hex);
    ASSERT_TRUE(r.w.OpenPort("1", "38400"));
    ASSERT_EQ(r.w.Text(Control<QLabel>(f, "Label12")), "Port is open on Com 1 at 38400 baud");
    r.w.ChooseFile("app.h86");
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().UploadState() == 0 && Control<QPushButton>(f, "BtnStartRun")->isVisibleTo(&f); }, 20000));
    Control<QPushButton>(f, "BtnStartRun")->click();
    ASSERT_TRUE(r.w.WaitIdle(60000)) << "state " << f.Engine().UploadState();
    EXPECT_EQ(r.w.Text(Control<QLabel>(f, "Label15")), "Software Upload complete");
    EXPECT_TRUE(r.sim->Flash() == fw.image);
}

TEST(FactoryUpload, TheUnitsFailureInTheFlashCodeStageIsShownOnTheFactoryScreen) {
    FactoryRun r({"--fail-at", "3"});
    ASSERT_NO_FATAL_FAILURE(r.OpenWell());
    ASSERT_NO_FATAL_FAILURE(r.Proceed());
    TForm1& f = r.F();
    const QStringList hist = f.HistoryLines();
    ASSERT_GE(hist.size(), 2);
    EXPECT_EQ(hist[hist.size() - 2].toStdString(), "Sending block 3 of 42...");
    EXPECT_EQ(hist.last().toStdString(), "Upload failed");
    // A repeat would lead to the hidden Software Upload screen: only the way back is offered.
    EXPECT_TRUE(r.Shown(Control<QPushButton>(f, "BtnBackToStart")));
    EXPECT_FALSE(r.Shown(Control<QPushButton>(f, "BtnRepeatUpload")));
    EXPECT_TRUE(Exists(r.w.Folder() + "Reserved.ZUP"));
    Control<QPushButton>(f, "BtnBackToStart")->click();
    EXPECT_TRUE(r.Shown(Control<QGroupBox>(f, "OpeningBox")));
}
