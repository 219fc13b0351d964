// The main window on its own: start-up, the three screens, the buttons, opening the port.
#include <QFontDatabase>
#include <QFontInfo>
#include <QScrollBar>
#include <unistd.h>
#include <QGroupBox>
#include <QMessageBox>
#include <QProgressBar>

#include "gui/HelpWindow.h"
#include "host/Ports.h"
#include "host/StopSignals.h"
#include "serial/Serial4.h"
#include "serial/serial_posix.h"

#include <csignal>
#include <filesystem>
#include "support/Pty.h"
#include "gui/ProgramName.h"
#include "support/Window.h"

namespace {

bool Shown(QWidget* w, TForm1& f) { return w->isVisibleTo(&f); }

}  // namespace

TEST(Window, StartsOnTheStartScreenWithPortOneAndDefaultBaud) {
    ProgramSession w;
    TForm1& f = w.F();
    EXPECT_EQ(f.windowTitle().toStdString(), "FIRMWARE UPLOAD UTILITY FOR NORVANE MXR-2");
    // The window system follows each title with the display name when one is set: the program's
    // name would be read twice.
    NameTheProgram();
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    EXPECT_EQ(Control<QComboBox>(f, "CommPortBox")->currentText().toStdString(), "1");
    EXPECT_EQ(Control<QComboBox>(f, "BaudRateBox")->currentText().toStdString(), "38400");
    // The port's tooltip says what the chosen COM n leads to, and follows the choice.
    auto* portBox = Control<QComboBox>(f, "CommPortBox");
    EXPECT_EQ(PlainToolTip(portBox).rfind("COM1: ", 0), 0u) << PlainToolTip(portBox);
    portBox->setEditText("2");
    EXPECT_TRUE(WaitUntil([&] { return PlainToolTip(portBox).rfind("COM2: ", 0) == 0; })) << PlainToolTip(portBox);
    EXPECT_TRUE(Shown(Control<QGroupBox>(f, "OpeningBox"), f));
    EXPECT_FALSE(Shown(Control<QGroupBox>(f, "MainBox"), f));
    EXPECT_FALSE(Shown(Control<QGroupBox>(f, "FactoryBox"), f));
    EXPECT_FALSE(Shown(Control<QPushButton>(f, "BtnRepeatUpload"), f));
    EXPECT_FALSE(Shown(Control<QPushButton>(f, "BtnBackToStart"), f));
    EXPECT_FALSE(Shown(Control<QPlainTextEdit>(f, "MemoCable"), f));
    EXPECT_FALSE(Shown(Control<QPlainTextEdit>(f, "MemoBoot"), f));
    EXPECT_EQ(Control<QLabel>(f, "Label11")->text().toStdString(), "Disabled");
    EXPECT_EQ(Control<QPushButton>(f, "BtnCaptureFile")->text().toStdString(), "&Enable Capture File");
    EXPECT_EQ(f.Engine().UploadState(), 0);
    EXPECT_EQ(f.Engine().HelpContext(), 1);
    // Controls without text of their own are found by their labels' names.
    EXPECT_EQ(Control<QComboBox>(f, "CommPortBox")->accessibleName().toStdString(), "Select Com Port:");
    EXPECT_EQ(Control<QComboBox>(f, "BaudRateBox")->accessibleName().toStdString(), "Baud Rate:");
    EXPECT_EQ(Control<QLabel>(f, "Label3")->buddy(), Control<QComboBox>(f, "CommPortBox"));
    // The control names that tools and tests rely on.
    for (const char* name : {"Image1", "Label5", "OpeningBox", "MainBox", "FactoryBox", "BtnCaptureFile", "Label11",
                             "BtnHelp", "BtnClose", "BtnRepeatUpload", "BtnBackToStart", "GroupBox2", "Title1",
                             "Title2", "MemoBoot", "MemoFlshCode", "Label6", "Label13", "Label3", "CommPortBox",
                             "Label7", "GroupBox1", "Label9", "BaudRateBox", "Label22", "Btn2Upload", "GroupBox3",
                             "Label21", "BtnBoot", "BtnCable", "MemoCable", "Label12", "Label8", "BtnChooseFile",
                             "RunBox", "Label15", "Label4", "Label2", "Gauge", "BtnStartRun", "Label10", "Label19",
                             "Label18", "FUpHist", "Label1", "LblConvJP3", "Label16", "BtnGoOn"})
        EXPECT_NE(f.findChild<QWidget*>(name), nullptr) << name;
}

TEST(Window, CableDetailShowsAndHidesTheElevenLines) {
    ProgramSession w;
    TForm1& f = w.F();
    Control<QPushButton>(f, "BtnCable")->click();
    EXPECT_TRUE(Shown(Control<QPlainTextEdit>(f, "MemoCable"), f));
    EXPECT_EQ(Control<QPushButton>(f, "BtnCable")->text().toStdString(), "Hide Detail");
    const QStringList lines = Control<QPlainTextEdit>(f, "MemoCable")->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 11);
    EXPECT_EQ(lines[0].toStdString(), "  Serial Cable Detail for connection:");
    EXPECT_EQ(lines[1].toStdString(), "");
    EXPECT_EQ(lines[4].toStdString(), "  Pin 2  -------  Pin 2");
    EXPECT_EQ(lines[10].toStdString(), "  Refer to the MXR-2 Manual");
    // All eleven lines in view at once, nothing to scroll to, in whatever font "Arial" is on this
    // machine and in every other font and size it may be given; and the window still fits a
    // 1024x768 screen (less a title bar and a panel) in its own font.
    QPlainTextEdit* memo = Control<QPlainTextEdit>(f, "MemoCable");
    QCoreApplication::processEvents();
    EXPECT_EQ(memo->verticalScrollBar()->maximum(), 0);
    const QSize needs = f.minimumSizeHint();
    const std::string font = QFontInfo(f.font()).family().toStdString();
    EXPECT_LE(needs.width(), 1024) << font;
    EXPECT_LE(needs.height(), 768 - 60) << font;
    // The first few fonts installed, and common ones by name (one that is missing falls back).
    const QStringList families =
        QFontDatabase::families().mid(0, 6) + QStringList{"Nimbus Sans", "DejaVu Sans", "Liberation Sans", "Monospace"};
    for (const QString& family : families) {
        for (int points : {7, 11, 17}) {
            memo->setFont(QFont(family, points));
            QCoreApplication::processEvents();
            EXPECT_EQ(memo->verticalScrollBar()->maximum(), 0) << family.toStdString() << " " << points << " pt";
            EXPECT_EQ(memo->horizontalScrollBar()->maximum(), 0) << family.toStdString() << " " << points << " pt";
        }
    }
    Control<QPushButton>(f, "BtnCable")->click();
    EXPECT_FALSE(Shown(Control<QPlainTextEdit>(f, "MemoCable"), f));
    EXPECT_EQ(Control<QPushButton>(f, "BtnCable")->text().toStdString(), "Cable Detail");
}

TEST(Window, SoftwareUploadOpensThePortAndOffersChooseFile) {
    ProgramSession w;
    TestPty pty;
    pty.LinkAs(w.Folder(), 1);
    TForm1& f = w.F();
    ASSERT_TRUE(w.OpenPort("1", "38400"));
    EXPECT_EQ(w.Text(Control<QLabel>(f, "Label12")), "Port is open on Com 1 at 38400 baud");
    EXPECT_TRUE(Shown(Control<QGroupBox>(f, "MainBox"), f));
    EXPECT_FALSE(Shown(Control<QGroupBox>(f, "OpeningBox"), f));
    EXPECT_FALSE(Shown(Control<QGroupBox>(f, "RunBox"), f));
    EXPECT_EQ(Control<QGroupBox>(f, "MainBox")->title().toStdString(), "Main Software Upload");
    EXPECT_TRUE(WaitUntil([&] { return Shown(Control<QPushButton>(f, "BtnChooseFile"), f); }));
    EXPECT_EQ(f.Engine().HelpContext(), 3);
    EXPECT_EQ(pty.Speed(), 38400);
    EXPECT_TRUE(f.Serial1().Active());

    // Go Back to Start: the start screen at once, the port stays open.
    Control<QPushButton>(f, "BtnBackToStart")->click();
    EXPECT_TRUE(Shown(Control<QGroupBox>(f, "OpeningBox"), f));
    EXPECT_FALSE(Shown(Control<QGroupBox>(f, "MainBox"), f));
    EXPECT_FALSE(Shown(Control<QPushButton>(f, "BtnChooseFile"), f));
    EXPECT_EQ(f.Engine().UploadState(), 0);
    EXPECT_EQ(f.Engine().HelpContext(), 1);
    EXPECT_TRUE(f.Serial1().Active());
}

TEST(Window, AMissingPortIsReportedOnceAfterTwentyTicks) {
    ProgramSession w(20);
    TForm1& f = w.F();
    ASSERT_EQ(::symlink("/dev/no-such-adapter", (w.Folder() + "COM2").c_str()), 0);
    Control<QComboBox>(f, "CommPortBox")->setEditText("2");
    QElapsedTimer t;
    t.start();
    Control<QPushButton>(f, "Btn2Upload")->click();
    ASSERT_TRUE(WaitUntil([&] { return Control<QLabel>(f, "Label12")->text().startsWith("Port "); }));
    EXPECT_GE(t.elapsed(), 19 * 20);
    EXPECT_EQ(w.Text(Control<QLabel>(f, "Label12")), "Port did not open on Com 2 at 38400 baud");
    EXPECT_FALSE(Shown(Control<QPushButton>(f, "BtnChooseFile"), f));
    // Another port is tried from the start screen, without starting the program again.
    ASSERT_TRUE(Shown(Control<QPushButton>(f, "BtnBackToStart"), f));
    Control<QPushButton>(f, "BtnBackToStart")->click();
    EXPECT_TRUE(Shown(Control<QGroupBox>(f, "OpeningBox"), f));
    Control<QLabel>(f, "Label12")->setText("");
    Control<QPushButton>(f, "Btn2Upload")->click();
    ASSERT_TRUE(WaitUntil([&] { return Control<QLabel>(f, "Label12")->text().startsWith("Port "); }));
    // The open's own reason, then what COM2 leads to, for the technician.
    const std::string tip = PlainToolTip(Control<QLabel>(f, "Label12"));
    EXPECT_EQ(tip.rfind("No such file or directory\n", 0), 0u) << tip;
    EXPECT_NE(tip.find("COM2: " + w.Folder() + "COM2"), std::string::npos) << tip;
    EXPECT_EQ(f.Engine().UploadState(), 0);
    // Once: the text stays and the sequencer stays idle.
    Control<QLabel>(f, "Label12")->setText("seen");
    WaitUntil([] { return false; }, 200);
    EXPECT_EQ(w.Text(Control<QLabel>(f, "Label12")), "seen");
}

// A message a step tells is shown once the step is over: the button's work has returned before
// the box opens, so no step waits on the operator's reading and no tick runs inside one.
TEST(Window, AStepsMessageBoxOpensAfterTheStep) {
    TempDir folder, home;
    TForm1Options o;
    o.TickMs = 3;
    o.ProgramFolder = folder.Path() + "/";
    o.Maximise = false;
    o.KeepRecords = false;
    const auto window = BuildMainWindow(o, home.Path() + "/");
    TForm1& f = *window->Form1;
    f.show();
    ASSERT_TRUE(WaitUntil([&] { return f.FormActivated() && Control<QTimer>(f, "Timer1")->isActive(); }));
    Control<QComboBox>(f, "BaudRateBox")->setEditText("fast");
    bool returned = false, returnedWhenShown = false;
    QString shown;
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            returnedWhenShown = returned;
            shown = box->text();
            box->accept();
        }
    });
    watch.start();
    Control<QPushButton>(f, "Btn2Upload")->click();
    returned = true;
    ASSERT_TRUE(WaitUntil([&] { return !shown.isEmpty(); }));
    EXPECT_TRUE(returnedWhenShown);
    ASSERT_EQ(f.Messages.size(), 1u);
    EXPECT_EQ(shown, f.Messages[0]);
}

TEST(Window, APortTextThatNamesNoPortIsReportedAsNotOpened) {
    ProgramSession w;
    TForm1& f = w.F();
    ASSERT_TRUE(w.OpenPort("x", "38400"));
    EXPECT_EQ(w.Text(Control<QLabel>(f, "Label12")), "Port did not open on Com x at 38400 baud");
    EXPECT_TRUE(f.Messages.empty());
    EXPECT_EQ(f.Engine().UploadState(), 0);
}

TEST(Window, ABaudTextThatIsNotANumberKeepsTheStartScreen) {
    ProgramSession w;
    TForm1& f = w.F();
    Control<QComboBox>(f, "BaudRateBox")->setEditText("fast");
    Control<QPushButton>(f, "Btn2Upload")->click();
    ASSERT_EQ(f.Messages.size(), 1u);
    EXPECT_NE(f.Messages[0].toStdString().find("fast"), std::string::npos);
    EXPECT_TRUE(Shown(Control<QGroupBox>(f, "OpeningBox"), f));
    EXPECT_FALSE(Shown(Control<QGroupBox>(f, "MainBox"), f));
    EXPECT_EQ(f.Engine().UploadState(), 0);
}

TEST(Window, APortHeldByAnotherProgramDoesNotOpen) {
    ProgramSession w;
    TestPty pty;
    pty.LinkAs(w.Folder(), 3);
    TSerial other;  // another program holding COM3
    other.NotifyErrors = neNone;
    other.SetPortRule(ComRule(w.Folder()));
    other.SetPort(3);
    other.SetActive(true);
    ASSERT_TRUE(other.Active());
    TForm1& f = w.F();
    ASSERT_TRUE(w.OpenPort("3", "38400"));
    EXPECT_EQ(w.Text(Control<QLabel>(f, "Label12")), "Port did not open on Com 3 at 38400 baud");
    const std::string tip = PlainToolTip(Control<QLabel>(f, "Label12"));
    EXPECT_EQ(tip.rfind("Device or resource busy\n", 0), 0u) << tip;
    EXPECT_NE(tip.find("is already open in this program"), std::string::npos) << "names the holder: " << tip;
}

TEST(Window, APortThatIsNoTerminalGivesTheSystemsReason) {
    ProgramSession w;
    WriteWholeFile(w.Folder() + "COM4", "not a port");
    TForm1& f = w.F();
    ASSERT_TRUE(w.OpenPort("4", "38400"));
    EXPECT_EQ(w.Text(Control<QLabel>(f, "Label12")), "Port did not open on Com 4 at 38400 baud");
    const std::string tip = PlainToolTip(Control<QLabel>(f, "Label12"));
    EXPECT_EQ(tip.rfind("Inappropriate ioctl for device\n", 0), 0u) << tip;
    EXPECT_NE(tip.find("is not a serial device"), std::string::npos) << tip;
}

TEST(Window, FactoryBootstrapReachesTheJumperInstructions) {
    ProgramSession w;
    TestPty pty;
    pty.LinkAs(w.Folder(), 1);
    TForm1& f = w.F();
    Control<QComboBox>(f, "CommPortBox")->setEditText("1");
    Control<QPushButton>(f, "BtnBoot")->click();
    EXPECT_TRUE(Shown(Control<QGroupBox>(f, "FactoryBox"), f));
    EXPECT_FALSE(Shown(Control<QGroupBox>(f, "OpeningBox"), f));
    EXPECT_EQ(f.Engine().HelpContext(), 9);
    EXPECT_EQ(f.HistoryLines(), QStringList{"Opening Com Port 1..."});
    ASSERT_TRUE(WaitUntil([&] { return Shown(Control<QPushButton>(f, "BtnGoOn"), f); }));
    EXPECT_EQ(f.Engine().UploadState(), 0);
    EXPECT_EQ(w.Text(Control<QLabel>(f, "Label19")), "Factory Upload will take about " + std::to_string(FactorySeconds()) + " seconds");
    EXPECT_EQ(w.Text(Control<QLabel>(f, "Label16")), "Turn the Unit power on, then click on <Proceed>");
    EXPECT_EQ(w.Text(Control<QLabel>(f, "Label1")), "With power off, put a jumper on the Bootstrap Enable header (JP1) and a jumper on "
                                "the Bootblock Unprotect header (JP2)");
    EXPECT_EQ(f.HistoryLines(), (QStringList{"Opening Com Port 1...", "Port is open on Com 1 at 19200 baud"}));
    EXPECT_EQ(pty.Speed(), 19200);
}

TEST(Window, FactoryBootstrapWithoutAPortSaysSo) {
    ProgramSession w;
    TForm1& f = w.F();
    ASSERT_EQ(::symlink("/dev/no-such-adapter", (w.Folder() + "COM4").c_str()), 0);
    Control<QComboBox>(f, "CommPortBox")->setEditText("4");
    Control<QPushButton>(f, "BtnBoot")->click();
    // What was found and what to do follow in the list itself, not only in a tooltip.
    ASSERT_TRUE(WaitUntil([&] { return f.HistoryLines().size() == 4; })) << f.HistoryLines().join('\n').toStdString();
    EXPECT_EQ(f.HistoryLines().mid(0, 3),
              (QStringList{"Opening Com Port 4...", "Com Port failed to open",
                           QString::fromStdString("COM4 is " + w.Folder() + "COM4 -> /dev/no-such-adapter, which does not exist")}));
    EXPECT_NE(f.HistoryLines()[3].toStdString().find("COM4: ln -sfn "), std::string::npos) << f.HistoryLines()[3].toStdString();
    EXPECT_FALSE(Shown(Control<QPushButton>(f, "BtnGoOn"), f));
    // Another port is tried from the start screen, without starting the program again.
    auto* back = Control<QPushButton>(f, "BtnBackToStart");
    ASSERT_TRUE(Shown(back, f));
    EXPECT_EQ(back->text(), "&Go Back to Start");
    back->click();
    EXPECT_TRUE(Shown(Control<QGroupBox>(f, "OpeningBox"), f));
    EXPECT_FALSE(Shown(Control<QGroupBox>(f, "FactoryBox"), f));
    EXPECT_FALSE(Shown(back, f));
    EXPECT_EQ(f.Engine().HelpContext(), 1);
    // The adapter linked as COM4 now: the next factory run starts afresh and reaches its jumpers.
    TestPty pty;
    pty.LinkAs(w.Folder(), 4);
    Control<QPushButton>(f, "BtnBoot")->click();
    EXPECT_TRUE(Shown(Control<QGroupBox>(f, "FactoryBox"), f));
    EXPECT_EQ(f.HistoryLines(), QStringList{"Opening Com Port 4..."});
    ASSERT_TRUE(WaitUntil([&] { return Shown(Control<QPushButton>(f, "BtnGoOn"), f); }));
    EXPECT_EQ(f.HistoryLines(), (QStringList{"Opening Com Port 4...", "Port is open on Com 4 at 19200 baud"}));
    EXPECT_EQ(pty.Speed(), 19200);
}

TEST(Window, HelpShowsTheTopicOfThePhase) {
    ProgramSession w;
    TForm1& f = w.F();
    std::ifstream src(std::string(ZUP_SOURCE_DIR) + "/resources/ZURuzada.HLP");
    ASSERT_TRUE(src.good());
    // Without the help file beside the program the operator is told which file is missing.
    Control<QPushButton>(f, "BtnHelp")->click();
    ASSERT_EQ(f.Messages.size(), 1u);
    EXPECT_NE(f.Messages[0].toStdString().find("ZURuzada.HLP"), std::string::npos);

    WriteWholeFile(w.Folder() + "ZURuzada.HLP", ReadWholeFile(std::string(ZUP_SOURCE_DIR) + "/resources/ZURuzada.HLP"));
    Control<QPushButton>(f, "BtnHelp")->click();
    auto* help = f.findChild<THelpWindow*>("HelpWindow");
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_EQ(help->CurrentTopic(), 1);
    Control<QPushButton>(f, "BtnBoot")->click();
    Control<QPushButton>(f, "BtnHelp")->click();
    EXPECT_EQ(help->CurrentTopic(), 9);
    for (int topic : {1, 3, 4, 5, 9})
        EXPECT_NE(ReadWholeFile(w.Folder() + "ZURuzada.HLP").find("name=\"topic" + std::to_string(topic) + "\""),
                  std::string::npos);
}

TEST(Window, CloseEndsCaptureFirst) {
    ProgramSession w;
    TForm1& f = w.F();
    Control<QPushButton>(f, "BtnCaptureFile")->click();
    ASSERT_TRUE(f.Engine().CaptureOn());
    EXPECT_EQ(Control<QLabel>(f, "Label11")->text().toStdString(), "Enabled");
    EXPECT_EQ(Control<QPushButton>(f, "BtnCaptureFile")->text().toStdString(), "&Disable Capture File");
    Control<QPushButton>(f, "BtnClose")->click();
    EXPECT_FALSE(f.Engine().CaptureOn());
    EXPECT_FALSE(f.isVisible());
    EXPECT_NE(ReadWholeFile(w.Folder() + "Capture.txt").find("[start]"), std::string::npos);
}

// SIGTERM or SIGHUP to the window (a closed session) release the port as Close does: the program
// wires them to Stop through the one signal owner.
TEST(Window, AStopSignalReleasesThePortAndItsLock) {
    ProgramSession w;
    TestPty pty;
    pty.LinkAs(w.Folder(), 3);
    TForm1& f = w.F();
    ASSERT_TRUE(w.OpenPort("3", "38400"));
    ASSERT_TRUE(f.Serial1().Active());
    int err = 0;
    const std::string lock = "/run/lock/" + serialio::LockFileName(pty.SlavePath(), err);
    ASSERT_TRUE(std::filesystem::exists(lock));
    TStopSignals stopSignals;
    int got = 0;
    stopSignals.Subscribe([&](int signal) {
        f.Stop();
        got = signal;
    });
    EXPECT_THROW(TStopSignals second, std::logic_error) << "a second owner would hear nothing";
    ::raise(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return got != 0; }));
    EXPECT_EQ(got, SIGHUP);
    EXPECT_EQ(StopStatus(got), 129);
    EXPECT_FALSE(f.Serial1().Active());
    // Let go by a thread of its own, while the loop runs on.
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(lock); }));
}

// A station whose policy loads signed recipes only: neither job opens the port from this window,
// and the operator is told why, naming the policy.
TEST(Window, AStationThatLoadsSignedRecipesOnlyOpensNoPortHere) {
    TempDir folder, home;
    TestPty pty;
    pty.LinkAs(folder.Folder(), 1);
    TForm1Options o;
    o.TickMs = 3;
    o.ProgramFolder = folder.Folder();
    o.Maximise = false;
    o.KeepRecords = false;
    o.ModalBoxes = false;
    o.Refusal = "this station loads signed recipes only (policy /etc/zupflshc/policy.json): run a signed recipe";
    const auto window = BuildMainWindow(o, home.Folder());
    TForm1& f = *window->Form1;
    f.show();
    ASSERT_TRUE(WaitUntil([&] { return f.FormActivated(); }));
    for (const char* button : {"Btn2Upload", "BtnBoot"}) {
        Control<QPushButton>(f, button)->click();
        ASSERT_FALSE(f.Messages.empty()) << button;
        EXPECT_EQ(f.Messages.back().toStdString(), o.Refusal) << button;
        EXPECT_FALSE(f.Serial1().Active()) << button;
        EXPECT_TRUE(Shown(Control<QGroupBox>(f, "OpeningBox"), f)) << button;
    }
}
