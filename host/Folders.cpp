#include "host/Folders.h"

#include "base/OwnFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

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

TProgramFolder ChooseProgramFolder(const std::string& executableFolder) {
    const TOwnFolderVerdict verdict = JudgeOwnFolder(executableFolder);
    if (verdict.Usable) return {WithSlash(executableFolder), "the program's own folder: " + verdict.Reason};

    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    // No home folder: the first write reports the folder it tried.
    if (data.isEmpty()) return {WithSlash(executableFolder), "there is no per-user data folder, and " + verdict.Reason};
    // A failed mkpath is left for the first write to report: it names the file it could not write.
    QDir().mkpath(data);
    return {WithSlash(QDir(data).absolutePath().toStdString()), "the per-user data folder: " + verdict.Reason};
}

std::string ResolveProgramFolder(const std::string& executableFolder) {
    return ChooseProgramFolder(executableFolder).Path;
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
