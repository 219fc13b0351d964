// Renders the program's screens into PNG files for the README, headless: the start screen, the
// Software Upload screen ready to start after a real port opening and file preparation against
// the simulated unit, the factory screen at the jumper instructions, and the station window on
// eight ports with realistic names, its tiles in different states.
//   zupshots [output folder]      (default: the source tree's docs/)
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include "tests/support/TempDir.h"
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "gui/StationWindow.h"
#include "gui/Uflash8.h"
#include "host/StopSignals.h"
#include "tests/support/EventLoop.h"
#include "tests/support/SimUnit.h"
#include "gui/Chfile1.h"

namespace {


// Lets pending layout and paint work settle before the picture is taken.
void Settle() {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool Save(QWidget& w, const QString& path) {
    Settle();
    if (!w.grab().save(path, "PNG", 9)) {
        std::fprintf(stderr, "zupshots: cannot write %s\n", path.toLocal8Bit().constData());
        return false;
    }
    std::printf("%s\n", path.toLocal8Bit().constData());
    return true;
}

int Fail(const char* what, const TForm1& f) {
    std::fprintf(stderr, "zupshots: %s (state %d)\n", what, f.Engine().UploadState());
    for (const QString& m : f.Messages) std::fprintf(stderr, "  %s\n", m.toLocal8Bit().constData());
    return 1;
}

// The station window on eight ports as a bench has them, COM 1 to COM 4 and four adapters by their
// by-path names, every unit verified and every id required: units verified (two ports waiting for
// the next unit's id, one for the next unit), a unit whose checksum is not the file's, a port waiting
// for its first id, two units being written at the line's speed and an adapter not plugged in.
int StationShot(const QString& out, const std::string& sample) {
    TempDir program, adapters;
    struct Port {
        std::vector<std::string> unit;  // the simulated unit's switches; none: no unit there
        const char* id;                 // scanned before Start; nullptr: the port waits for one
    };
    const std::vector<Port> ports = {
        {{"--restart-ms", "100"}, "MXR2-10417"},
        {{"--wrong-checksum", "--restart-ms", "100"}, "MXR2-10418"},
        {{"--restart-ms", "100"}, nullptr},
        {{"--pace", "--restart-ms", "100"}, "MXR2-10420"},
        {{"--pace", "--restart-ms", "100"}, "MXR2-10421"},
        {{"--restart-ms", "100"}, "MXR2-10422"},
        {{}, "MXR2-10423"},
        {{"--restart-ms", "100"}, "MXR2-10424"},
    };
    std::vector<std::unique_ptr<SimUnit>> sims;
    TStationSetup setup;
    setup.Firmware = sample;
    for (size_t i = 0; i < ports.size(); ++i) {
        const int n = static_cast<int>(i) + 1;
        if (n <= 4) {
            // COM n in the program folder, as the operator links it.
            sims.push_back(std::make_unique<SimUnit>(program.Path(), n, ports[i].unit));
            setup.Ports.push_back({"COM " + std::to_string(n), n, ""});
            continue;
        }
        // A by-path name says which slot of the hub the adapter is in; here it leads to the unit's
        // link, and the slot without a unit has no adapter plugged in.
        const std::string slot = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2." + std::to_string(n - 4) + ":1.0-port0";
        if (ports[i].unit.empty()) {
            setup.Ports.push_back({slot, 0, slot});
            continue;
        }
        sims.push_back(std::make_unique<SimUnit>(adapters.Path(), n, ports[i].unit));
        setup.Ports.push_back({slot, 0, sims.back()->LinkPath()});
    }
    setup.ProgramFolder = program.Folder();
    setup.ModalBoxes = false;
    setup.Verify = true;
    setup.RequireUnitId = true;
    TStopSignals stops;
    TStationWindow window(setup, stops);
    window.resize(1024, 768);
    window.show();
    if (!WaitUntil([&] { return !window.Running() && window.Firmware().Blocks > 0; }, 20000)) {
        std::fprintf(stderr, "zupshots: the station's firmware was not prepared\n");
        return 1;
    }
    const auto tiles = window.Tiles();
    const auto scan = [&](size_t i, const char* id) {
        auto* box = Control<QLineEdit>(*tiles[i], "UnitIdBox");
        box->setText(id);
        QMetaObject::invokeMethod(box, "returnPressed");
    };
    for (size_t i = 0; i < ports.size(); ++i)
        if (ports[i].id) scan(i, ports[i].id);
    Control<QPushButton>(window, "BtnStart")->click();
    // The last port's next unit has its id: the port waits for the unit to be switched on.
    if (WaitUntil([&] { return tiles[7]->Loaded() == 1; }, 60000)) scan(7, "MXR2-10425");
    if (!WaitUntil([&] {
            return tiles[0]->Loaded() == 1 && tiles[1]->Failed() == 1 && tiles[5]->Loaded() == 1 &&
                   tiles[6]->ResultText().startsWith("port problem") &&
                   tiles[7]->DoingText() == "waiting for the next unit" && tiles[3]->DoingText().startsWith("block") &&
                   tiles[4]->DoingText().startsWith("block") && tiles[3]->Writing() && tiles[4]->Writing();
        }, 60000)) {
        std::fprintf(stderr, "zupshots: the station's tiles did not reach their states\n");
        return 1;
    }
    Control<QPushButton>(window, "BtnStart")->setFocus();
    const bool saved = Save(window, out + "/screen-station.png");
    window.StopWhileWritingAnswer = true;
    window.StopAll();
    return saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (argc > 1 && argv[1][0] == '-') {
        std::printf("usage: zupshots [FOLDER]\nDraws the README's screenshots of the window into FOLDER "
                    "(default: the source tree's docs folder).\n");
        return std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString(ZUP_SOURCE_DIR "/docs");
    QDir().mkpath(out);

    TempDir programDir, homeDir;
    const std::string folder = programDir.Path() + "/";
    const QString sample = QString::fromStdString(homeDir.Path()) + "/mxr2-demo.h86";
    if (!QFile::copy(ZUP_SOURCE_DIR "/resources/samples/mxr2-demo.h86", sample)) {
        std::fprintf(stderr, "zupshots: cannot copy the sample firmware\n");
        return 1;
    }
    SimUnit sim(folder, 1);

    TForm1Options o;
    o.ProgramFolder = folder;
    o.Maximise = false;
    o.ModalBoxes = false;
    auto window = BuildMainWindow(o, homeDir.Path());
    TForm1& form1 = *window->Form1;
    TForm2& form2 = *window->Form2;
    form1.resize(1000, 760);
    form1.show();
    if (!WaitUntil([&] { return form1.FormActivated() && Control<QTimer>(form1, "Timer1")->isActive(); }, 10000))
        return Fail("the window did not start", form1);
    Control<QPushButton>(form1, "Btn2Upload")->setFocus();  // no text cursor blinking in the port selector
    if (!Save(form1, out + "/screen-start.png")) return 1;

    // Software Upload: open the port, choose the sample, wait for the ready screen.
    Control<QComboBox>(form1, "CommPortBox")->setEditText("1");
    Control<QComboBox>(form1, "BaudRateBox")->setEditText("38400");
    Control<QPushButton>(form1, "Btn2Upload")->click();
    if (!WaitUntil([&] { return Control<QLabel>(form1, "Label12")->text().startsWith("Port is open"); }, 5000))
        return Fail("the port did not open", form1);
    form2.SetCurrentDirectory(QString::fromStdString(homeDir.Path()));
    QTimer::singleShot(0, &form2, [&form2] {
        form2.findChild<QLineEdit*>("FileNameBox")->setText("mxr2-demo.h86");
        form2.findChild<QPushButton*>("BtnOK")->click();
    });
    Control<QPushButton>(form1, "BtnChooseFile")->click();
    if (!WaitUntil([&] { return form1.Engine().UploadState() == 0 && Control<QPushButton>(form1, "BtnStartRun")->isVisibleTo(&form1); }, 20000))
        return Fail("the file was not prepared", form1);
    if (!Save(form1, out + "/screen-software-upload.png")) return 1;

    // Factory Bootstrap Upload, after the port opened at 19200 baud.
    Control<QPushButton>(form1, "BtnBackToStart")->click();
    Control<QPushButton>(form1, "BtnBoot")->click();
    if (!WaitUntil([&] { return form1.Engine().UploadState() == 0 && Control<QPushButton>(form1, "BtnGoOn")->isVisibleTo(&form1); }, 5000))
        return Fail("the factory screen did not reach the jumper instructions", form1);
    if (!Save(form1, out + "/screen-factory.png")) return 1;

    Control<QTimer>(form1, "Timer1")->stop();
    if (!form1.Messages.empty()) return Fail("message boxes were shown", form1);
    return StationShot(out, sample.toStdString());
}
