#include "base/Paths.h"

#include <climits>
#include <cstring>
#include <unistd.h>

std::string ExecutableFolder() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    const std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

size_t FileNameStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

std::string AbsolutePath(const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    std::string cwd(4096, '\0');
    if (!::getcwd(cwd.data(), cwd.size())) return path;
    cwd.resize(std::strlen(cwd.c_str()));
    std::string rest = path;
    while (rest.rfind("./", 0) == 0) rest.erase(0, 2);
    return (cwd == "/" ? "" : cwd) + "/" + rest;
}
