// Start of the program: the command line when given arguments, the station window for `station`;
// otherwise title and help file, the main window, the file chooser, the message loop.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Paths.h"
#include "base/ShownText.h"
#include "cli/CommandLine.h"
#include "cli/CommandLineOptions.h"
#include "gui/ProgramName.h"
#include "gui/StationWindow.h"
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

// `station` takes the options of `upload` for its ports and file; anything the operator did not
// give is chosen in the window.
TStationSetup StationSetupOf(const TCliOptions& options) {
    TStationSetup setup;
    if (!options.File.empty()) setup.Firmware = AbsolutePath(options.File);
    for (const TCliOptions::TPortChoice& choice : options.Ports) {
        TStationPort port;
        port.Port = choice.Device.empty() ? choice.Port : 0;
        port.Device = choice.Device;
        port.Name = choice.Device.empty() ? "COM " + std::to_string(choice.Port) : ShownText(choice.Device);
        setup.Ports.push_back(port);
    }
    setup.Baud = options.Baud;
    setup.Capture = options.Capture;
    setup.CapturePath = options.CapturePath.empty() ? std::string() : AbsolutePath(options.CapturePath);
    // A record file named relative to here stays this one when a saved recipe names it.
    const bool file = options.RecordDb.find("://") == std::string::npos;
    setup.RecordDb = options.RecordDb.empty() || !file ? options.RecordDb : AbsolutePath(options.RecordDb);
    setup.Count = options.Count;
    setup.TickMs = options.TickMs;
    return setup;
}

// An option that a recipe would silently override.
bool FixedByRecipe(const QStringList& words) {
    for (const QString& word : words)
        for (const char* name : {"--baud", "--count", "--record-db", "-baud", "-count", "-record-db"})
            if (word == name || word.startsWith(QString(name) + "=")) return true;
    return false;
}

int RunStationWindow(int argc, char** argv) {
    QStringList words;
    for (int i = 1; i < argc; ++i) words << QString::fromLocal8Bit(argv[i]);
    TCliOptions options;
    QString error;
    switch (ParseCommandLine(words, options, error)) {
    case TParse::Help: std::fputs(UsageText().toLocal8Bit().constData(), stdout); return Exit::Success;
    case TParse::Version: std::printf("zupflshc %s\n", ZUP_VERSION); return Exit::Success;
    case TParse::Fail: std::fprintf(stderr, "zupflshc: %s\n", error.toLocal8Bit().constData()); return Exit::Usage;
    case TParse::Run: break;
    }
    TStationSetup setup = StationSetupOf(options);
    // A recipe fixes everything the options would: it is read, and refused, before any window.
    const bool recipe = options.File.size() > 5 && options.File.compare(options.File.size() - 5, 5, ".json") == 0;
    std::string problem;
    if (recipe && (!options.Ports.empty() || FixedByRecipe(words)))
        problem = "a recipe fixes the ports, the baud, the count and the record: give the recipe alone";
    else if (recipe)
        StationSetupOfRecipe(AbsolutePath(options.File), setup, problem);
    if (!problem.empty()) {
        std::fprintf(stderr, "zupflshc: %s\n", problem.c_str());
        return Exit::Usage;
    }
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
    window.resize(1024, 768);
    window.show();
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
