#include "cli/CommandLine.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/CommandLineJob.h"
#include "cli/CommandLineOptions.h"
#include "cli/CommandLineView.h"
#include "cli/Station.h"
#include "host/Folders.h"
#include "host/Ports.h"
#include "host/StopSignals.h"
#include "firmware/IntelHex.h"
#include "firmware/UploadFile.h"
#include "base/Paths.h"
#include "serial/serial_posix.h"

namespace {

int UsageError(const std::string& text) {
    std::fprintf(stderr, "zupflshc: %s\n", text.c_str());
    return Exit::Usage;
}

std::string Absolute(const std::string& path) {
    return QFile::encodeName(QFileInfo(QFile::decodeName(path.c_str())).absoluteFilePath()).toStdString();
}

// The firmware file is checked before anything is opened or written: it must be a readable file
// whose extension the engine knows.
bool CheckFirmwareFile(const std::string& path, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || ::access(path.c_str(), R_OK) != 0) {
        error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "'" + path + "' is not a file";
        return false;
    }
    const std::string name = QFile::encodeName(QFileInfo(QFile::decodeName(path.c_str())).fileName()).toStdString();
    const TInputNames names = SplitInputFileName(name);
    if (InputKind(names.InputExt) == TInputKind::Unknown) {
        error = "unexpected file extension (" + names.InputExt + ") of '" + path + "': use " + AcceptedExtensionsText();
        return false;
    }
    return true;
}

std::string ProgramFolder() { return ResolveProgramFolder(ExecutableFolder()); }

int ListPortsCommand(const TCliOptions& options) {
    const TProgramFolder folder = ChooseProgramFolder(ExecutableFolder());
    TPortListing listing = ListPorts(folder.Path);
    listing.ProgramFolderReason = folder.Reason;
    std::fputs((options.Json ? PortListingJson(listing) : PortListingText(listing)).c_str(), stdout);
    return Exit::Success;
}

// The ports as the station runs them: usb: names resolved, paths absolute, named as given.
bool ResolveUnits(const TCliOptions& options, const std::string& file, std::vector<TCliUnit>& units, int& status) {
    TSystemPortSource attached;
    for (const TCliOptions::TPortChoice& choice : options.Ports) {
        TCliUnit unit;
        unit.Port = choice.Port ? choice.Port : 1;
        unit.Name = choice.Device.empty() ? "COM " + std::to_string(unit.Port) : choice.Device;
        unit.Device = choice.Device;
        unit.FilePath = file;
        unit.CapturePath = options.CapturePath;
        std::string error;
        if (IsUsbDeviceSpec(unit.Device) && !ResolveUsbDevice(choice.Device, attached, unit.Device, error)) {
            std::fprintf(stderr, "zupflshc: %s\n", error.c_str());
            status = Exit::PortClosed;
            return false;
        }
        if (!unit.Device.empty()) unit.Device = Absolute(unit.Device);
        units.push_back(unit);
    }
    return true;
}

// Two names for one device (COM 1 and its link's target, a device and a link to it) would have two
// engines fight over one unit.
bool SameDeviceTwice(const std::vector<TCliUnit>& units, const std::string& folder, std::string& error) {
    std::vector<std::string> seen;
    for (const TCliUnit& unit : units) {
        const std::string path = unit.Device.empty() ? serialio::DeviceNameFor(folder, unit.Port) : unit.Device;
        char real[PATH_MAX];
        const std::string key = ::realpath(path.c_str(), real) ? std::string(real) : path;
        for (size_t i = 0; i < seen.size(); ++i)
            if (seen[i] == key) {
                error = units[i].Name + " and " + unit.Name + " are the same device (" + key + ")";
                return true;
            }
        seen.push_back(key);
    }
    return false;
}

int RunJob(TCliOptions& options) {
    std::string error;
    if (options.Command == TCommand::Factory && !options.Yes && !::isatty(STDIN_FILENO))
        return UsageError("factory waits for Enter on a terminal; give --yes to go on without it");
    if (options.Command == TCommand::Factory && !options.Yes && options.Ports.size() > 1)
        return UsageError("factory on several ports needs --yes: one Enter cannot speak for every unit");
    if (options.Command != TCommand::Factory && !CheckFirmwareFile(options.File, error)) return UsageError(error);
    if (!options.CapturePath.empty()) options.CapturePath = Absolute(options.CapturePath);
    // The engine is given the file's absolute path: nothing here changes the process's folder,
    // which is every job's.
    const std::string file = options.Command == TCommand::Factory ? std::string() : Absolute(options.File);
    std::vector<TCliUnit> units;
    int status = Exit::Success;
    if (options.Command == TCommand::Prepare) units.push_back({"", 1, {}, {}, file});
    else if (!ResolveUnits(options, file, units, status)) return status;
    const std::string folder = ProgramFolder();
    if (SameDeviceTwice(units, folder, error)) return UsageError(error);
    // A reader that goes away must not end an upload half way: output is dropped instead.
    std::signal(SIGPIPE, SIG_IGN);
    const auto mode = options.Json ? TCliView::TMode::Json
                      : ::isatty(STDOUT_FILENO) ? TCliView::TMode::Terminal
                                                : TCliView::TMode::Pipe;
    TCliStation station(options, std::move(units), folder, mode);
    // The production record attaches here: every unit's result, its port's name and the run's id.
    station.OnUnitResult = nullptr;
    return station.Run();
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Qt leaves the numeric locale at "C"; the estimate follows the operator's.
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "");
    // The short name makes the per-user data folder ~/.local/share/zupflshc, as for the window.
    QCoreApplication::setApplicationName("zupflshc");
    QCoreApplication::setApplicationVersion(ZUP_VERSION);

    TCliOptions options;
    QString error;
    switch (ParseCommandLine(QCoreApplication::arguments().mid(1), options, error)) {
    case TParse::Help: std::fputs(UsageText().toLocal8Bit().constData(), stdout); return Exit::Success;
    case TParse::Version: std::printf("zupflshc %s\n", ZUP_VERSION); return Exit::Success;
    case TParse::Fail: return UsageError(error.toLocal8Bit().toStdString());
    case TParse::Run: break;
    }
    if (options.Command == TCommand::Ports) return ListPortsCommand(options);
    return RunJob(options);
}
