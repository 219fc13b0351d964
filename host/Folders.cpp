#include "host/Folders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

namespace {

const char* const kHelpFile = "ZURuzada.HLP";
// Relative to the prefix, as GNUInstallDirs lays it out.
const char* const kInstalledHelp = "share/zupflshc/ZURuzada.HLP";

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

bool IsRegularFile(const QString& path) {
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

// The copy installed under <prefix>/share beside <prefix>/bin holding the executable.
QString InstalledHelpBeside(const std::string& executableFolder) {
    if (executableFolder.empty()) return {};
    return QDir::cleanPath(QString::fromStdString(WithSlash(executableFolder)) + "../" + kInstalledHelp);
}

}  // namespace

std::string ResolveProgramFolder(const std::string& executableFolder) {
    const std::string own = WithSlash(executableFolder);
    // A writable bin folder of an installation (root running it, or a prefix in the home folder)
    // is still no place for 4 MiB of Reserved.BIN and a growing capture file: packages would
    // leave them behind.
    const bool installed = IsRegularFile(InstalledHelpBeside(executableFolder));
    if (!executableFolder.empty() && !installed && ::access(own.c_str(), W_OK) == 0) return own;

    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (data.isEmpty()) return own;  // no home folder: the first write reports the folder it tried
    // A failed mkpath is left for the first write to report: it names the file it could not write.
    QDir().mkpath(data);
    return WithSlash(QDir(data).absolutePath().toStdString());
}

std::string HelpFilePath(const std::string& programFolder) {
    const std::string own = WithSlash(programFolder) + kHelpFile;
    if (IsRegularFile(QString::fromStdString(own))) return own;

    if (QCoreApplication::instance()) {
        const QString beside = InstalledHelpBeside(QCoreApplication::applicationDirPath().toStdString());
        if (IsRegularFile(beside)) return beside.toStdString();
    }
    const QString located = QStandardPaths::locate(QStandardPaths::GenericDataLocation, "zupflshc/ZURuzada.HLP");
    if (!located.isEmpty()) return located.toStdString();
    return own;
}
