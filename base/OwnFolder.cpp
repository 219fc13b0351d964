#include "base/OwnFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

std::string Mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

TOwnFolderVerdict JudgeOwnFolder(const std::string& executableFolder) {
    const std::string own = WithSlash(executableFolder);
    if (own.empty()) return {false, "the program's own folder is not known"};
    struct stat st {};
    // A writable bin folder of an installation (root running it, or a prefix in the home folder)
    // is still no place for 4 MiB of Reserved.BIN and a growing capture file: packages would
    // leave them behind.
    const std::string help = own + "../share/zupflshc/ZURuzada.HLP";
    if (::stat(help.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return {false, "the program is installed (" + help + " is beside it)"};
    if (::stat(own.c_str(), &st) != 0) return {false, "the program's folder " + own + " cannot be examined"};
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return {false, "the program's folder " + own + " belongs to another user (uid " + std::to_string(st.st_uid) + ")"};
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return {false, "other users can write to the program's folder " + own + " (mode " + Mode(st.st_mode) + ")"};
    if (::access(own.c_str(), W_OK) != 0) return {false, "this user may not write to the program's folder " + own};
    return {true, "this user may write to it and no other user can"};
}

std::string UserDataFolder() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') return WithSlash(xdg) + "zupflshc/";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) home = h;
    else if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) home = pw->pw_dir;
    if (home.empty()) return {};
    return WithSlash(home) + ".local/share/zupflshc/";
}

bool MakeFolders(const std::string& folder) {
    for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    if (folder.back() != '/' && ::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return false;
    return true;
}
