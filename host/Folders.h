// Where the program keeps its files: its own folder when that is a folder it may write to, the
// per-user data folder once it is installed. QtCore only, so the window and the command line share it.
#pragma once

#include <string>

struct TProgramFolder {
    std::string Path;     // with a trailing '/'
    std::string Reason;   // which folder it is and why, as `ports` shows it
};

// The folder that stands for the program's own folder (commsUP.txt, Capture.txt, Reserved.*, the
// COM<n> links). It is `executableFolder` when JudgeOwnFolder (base/OwnFolder.h) finds it usable:
// this user may write there, no other user may, and it is no installed layout; otherwise the
// per-user data folder (QStandardPaths::AppDataLocation, normally ~/.local/share/zupflshc/),
// created when missing. Needs QCoreApplication's applicationName set to "zupflshc" first.
TProgramFolder ChooseProgramFolder(const std::string& executableFolder);
// Its path alone.
std::string ResolveProgramFolder(const std::string& executableFolder);

// The help file to show: ZURuzada.HLP in `programFolder` when it is there, else the installed copy
// (../share/zupflshc beside the running executable, then the system data folders). When there is
// none at all, the path in `programFolder`, so the "missing" message names a real place.
std::string HelpFilePath(const std::string& programFolder);
