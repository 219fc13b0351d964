// Start of the program: the command line when given arguments, the station window for `station`;
// otherwise title and help file, the main window, the file chooser, the message loop.
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli/CommandLine.h"
#include "cli/CommandLineOptions.h"
#include "cli/KeyCommand.h"
#include "cli/StationCommand.h"
#include "gui/ProgramName.h"
#include "base/ShownText.h"
#include "control/ControlAccess.h"
#include "gui/StationWindow.h"
#include "gui/WindowControl.h"
#include "gui/Uflash8.h"
#include "host/StopSignals.h"
#include "gui/Chfile1.h"

namespace {

bool DisplayMissing() {
    if (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM")) return false;
    std::fprintf(stderr,
                 "zupflshc: no display found (DISPLAY and WAYLAND_DISPLAY are not set).\n"
                 "Run it on a desktop, under xvfb-run, or with QT_QPA_PLATFORM=offscreen.\n");
    return true;
}

void SetUpWindows(const char* desktopFile) {
    // Qt resets the numeric locale to "C" for its own parsing; the operator's is wanted here.
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "");
    NameTheProgram();
    QGuiApplication::setDesktopFileName(desktopFile);
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/icons/com.norvane.zupflshc-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
}

// --control: the window listens before it is shown; an address it cannot take ends it.
int StartWindowControl(const TStationSetup& setup, TStationWindow& window, std::unique_ptr<TWindowControl>& control) {
    if (setup.Control.empty()) return -1;
    control = std::make_unique<TWindowControl>(window);
    TControlAddress address;
    std::string error;
    if (!ParseControlAddress(setup.Control, address, error) || !control->Listen(address, setup.ControlToken, error)) {
        std::fprintf(stderr, "zupflshc: %s\n", error.c_str());
        return Exit::Usage;
    }
    std::fprintf(stderr, "zupflshc: control: listening at %s\n", ShownText(control->Address()).c_str());
    std::fflush(stderr);
    return -1;
}

int RunStationWindow(int argc, char** argv) {
    TStationSetup setup;
    if (const int status = StationCommandSetup(argc, argv, setup); status >= 0) return status;
    if (DisplayMissing()) return Exit::Usage;
    QApplication app(argc, argv);
    SetUpWindows("com.norvane.zupflshc.station");
    TStopSignals stopSignals;
    TStationWindow window(setup, stopSignals);
    // A closed session or a kill must not leave the ports locked and set up for the next user.
    stopSignals.Subscribe([&](int signal) {
        window.StopAll();
        QApplication::exit(StopStatus(signal));
    });
    std::unique_ptr<TWindowControl> control;
    if (const int status = StartWindowControl(setup, window, control); status >= 0) return status;
    window.resize(1024, 768);
    window.show();
    // Driven by the line's software, the window starts as the command line's station does, unless
    // told to wait for the socket's start.
    if (control && !setup.Hold)
        QTimer::singleShot(0, &window, [&control] {
            if (const std::string refusal = control->Start(); !refusal.empty())
                std::fprintf(stderr, "zupflshc: not started: %s\n", refusal.c_str());
        });
    return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
    // The estimate and the capture times follow the operator's locale.
    std::setlocale(LC_ALL, "");
    if (argc > 1 && std::strcmp(argv[1], "station") == 0) return RunStationWindow(argc, argv);
    // With arguments it is the command line, which needs no display and never starts the window.
    if (argc > 1) return RunCommandLine(argc, argv);
    if (DisplayMissing()) return 2;
    QApplication app(argc, argv);
    SetUpWindows("com.norvane.zupflshc");

    // Before any port opens: a station whose policy requires signed recipes loads no unit from here.
    TForm1Options options;
    options.Refusal = UnsignedJobRefusal({});
    auto window = BuildMainWindow(options, QDir::homePath().toStdString());
    // A closed session or a kill must not leave the port locked and set up for the next user.
    TStopSignals stopSignals;
    stopSignals.Subscribe([&](int signal) {
        window->Form1->Stop();
        QApplication::exit(StopStatus(signal));
    });
    window->Form1->show();
    return app.exec();
}
