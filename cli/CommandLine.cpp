#include "cli/CommandLine.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/CommandLineJob.h"
#include "cli/CommandLineOptions.h"
#include "cli/CommandLineView.h"
#include "cli/HistoryCommand.h"
#include "host/Folders.h"
#include "host/Ports.h"
#include "firmware/IntelHex.h"
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
        error = "unexpected file extension (" + names.InputExt + ") of '" + path + "': use .h86, .mcs, .bin or .zup";
        return false;
    }
    return true;
}

// The engine takes the first '.' of the name it is given as the start of the extension, so it is
// given the bare file name from inside its folder: a dot in a folder's name ("./fw.h86",
// "~/v1.2/fw.h86") must not turn a HEX file into an unknown or a binary one.
bool EnterFileFolder(const std::string& path, std::string& name, std::string& folder, std::string& error) {
    const QFileInfo info(QFile::decodeName(path.c_str()));
    name = QFile::encodeName(info.fileName()).toStdString();
    folder = QFile::encodeName(info.absolutePath()).toStdString();
    if (::chdir(folder.c_str()) != 0) {
        error = "cannot enter '" + folder + "': " + std::strerror(errno);
        return false;
    }
    if (folder.empty() || folder.back() != '/') folder += '/';
    return true;
}

std::string ProgramFolder() { return ResolveProgramFolder(ExecutableFolder()); }

int RunJob(TCliOptions& options) {
    std::string error, name, folder;
    if (options.Command == TCommand::Factory && !options.Yes && !::isatty(STDIN_FILENO))
        return UsageError("factory waits for Enter on a terminal; give --yes to go on without it");
    if (options.Command != TCommand::Factory && !CheckFirmwareFile(options.File, error)) return UsageError(error);
    if (!options.Device.empty()) options.Device = Absolute(options.Device);
    if (!options.CapturePath.empty()) options.CapturePath = Absolute(options.CapturePath);
    if (options.Command != TCommand::Factory && !EnterFileFolder(options.File, name, folder, error))
        return UsageError(error);
    // A reader that goes away must not end an upload half way: output is dropped instead.
    std::signal(SIGPIPE, SIG_IGN);
    const auto mode = options.Json ? TCliView::TMode::Json
                      : ::isatty(STDOUT_FILENO) ? TCliView::TMode::Terminal
                                                : TCliView::TMode::Pipe;
    TCliView view(mode, options.Command == TCommand::Factory);
    TCliJob job(options, view, ProgramFolder(), name, folder);
    return job.Run();
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

    // history reads the record and takes options of its own; the rest are the jobs' commands.
    const QStringList words = QCoreApplication::arguments().mid(1);
    if (!words.isEmpty() && words.first() == "history")
        return RunHistoryCommand(words.mid(1), ProgramFolder() + "history.sqlite");

    TCliOptions options;
    QString error;
    switch (ParseCommandLine(QCoreApplication::arguments().mid(1), options, error)) {
    case TParse::Help: std::fputs(UsageText().toLocal8Bit().constData(), stdout); return Exit::Success;
    case TParse::Version: std::printf("zupflshc %s\n", ZUP_VERSION); return Exit::Success;
    case TParse::Fail: return UsageError(error.toLocal8Bit().toStdString());
    case TParse::Run: break;
    }
    if (options.Command == TCommand::Ports) {
        std::fputs(PortListingText(ListPorts(ProgramFolder())).c_str(), stdout);
        return Exit::Success;
    }
    return RunJob(options);
}
