// Where the program keeps its files: its own folder when that is a folder it may write to, the
// per-user data folder once it is installed. QtCore only, so the window and the command line share it.
#pragma once

#include <string>

// The folder that stands for the program's own folder (commsUP.txt, Capture.txt, Reserved.*, the
// COM<n> links), with a trailing '/'. It is `executableFolder` when this user may write there and
// it is not an installed layout (no share/zupflshc/ZURuzada.HLP beside its parent); otherwise the
// per-user data folder (QStandardPaths::AppDataLocation, normally ~/.local/share/zupflshc/),
// created when missing. Needs QCoreApplication's applicationName set to "zupflshc" first.
std::string ResolveProgramFolder(const std::string& executableFolder);

// The help file to show: ZURuzada.HLP in `programFolder` when it is there, else the installed copy
// (../share/zupflshc beside the running executable, then the system data folders). When there is
// none at all, the path in `programFolder`, so the "missing" message names a real place.
std::string HelpFilePath(const std::string& programFolder);
