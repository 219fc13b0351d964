// Start of the program: the command line when given arguments; otherwise title and help file, the
// main window, the file chooser, the message loop.
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "cli/CommandLine.h"
#include "gui/ProgramName.h"
#include "gui/Uflash8.h"
#include "host/StopSignals.h"
#include "gui/Chfile1.h"

int main(int argc, char** argv) {
    // The estimate and the capture times follow the operator's locale.
    std::setlocale(LC_ALL, "");
    // With arguments it is the command line, which needs no display and never starts the window.
    if (argc > 1) return RunCommandLine(argc, argv);
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        std::fprintf(stderr,
                     "zupflshc: no display found (DISPLAY and WAYLAND_DISPLAY are not set).\n"
                     "Run it on a desktop, under xvfb-run, or with QT_QPA_PLATFORM=offscreen.\n");
        return 2;
    }
    QApplication app(argc, argv);
    // Qt resets the numeric locale to "C" for its own parsing; the operator's is wanted here.
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "");
    NameTheProgram();
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/icons/com.norvane.zupflshc-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

    auto window = BuildMainWindow({}, QDir::homePath().toStdString());
    // A closed session or a kill must not leave the port locked and set up for the next user.
    TStopSignals stopSignals;
    stopSignals.Subscribe([&](int signal) {
        window->Form1->Stop();
        QApplication::exit(StopStatus(signal));
    });
    window->Form1->show();
    return app.exec();
}
