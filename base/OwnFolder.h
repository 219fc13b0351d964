// Whether the folder of a running executable can be trusted as its own folder, and where the
// per-user data folder is: plain POSIX, so the program and the simulated unit decide alike.
#pragma once

#include <string>

struct TOwnFolderVerdict {
    bool Usable = false;
    std::string Reason;   // why it is or is not used, for the port listing
};

// Usable when the folder is known, is no installed layout (no share/zupflshc/ZURuzada.HLP beside
// its parent), belongs to this user or root, no group or other user may write to it, and this
// user may. A folder others can write to would let them plant the COM<n> links and the files the
// program reads back.
TOwnFolderVerdict JudgeOwnFolder(const std::string& executableFolder);

// $XDG_DATA_HOME/zupflshc/, else ~/.local/share/zupflshc/, as QStandardPaths' AppDataLocation
// names it for "zupflshc"; "" when there is no home folder.
std::string UserDataFolder();
// Creates `folder` and its missing parents; false with errno set when that fails.
bool MakeFolders(const std::string& folder);
