#include "base/TrustedPath.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/Paths.h"
#include "base/ShownText.h"

namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit on a path

// One step of the way: a folder (resolved, no link in it) and the name looked up in it.
struct TStep {
    std::string Folder, Entry;
    struct stat FolderStat {}, EntryStat {};
};

std::deque<std::string> Components(const std::string& path) {
    std::deque<std::string> parts;
    for (size_t start = 0; start <= path.size();) {
        const size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

std::string Joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string Parent(const std::string& folder) {
    const size_t slash = folder.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : folder.substr(0, slash);
}

std::string ReadLink(const std::string& link) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return {};
    target.resize(static_cast<size_t>(n));
    return target;
}

// The way to `path`, one step per name looked up, links followed as the kernel follows them.
std::string FollowWay(const std::string& path, std::vector<TStep>& steps) {
    std::deque<std::string> todo = Components(AbsolutePath(path));
    std::string folder = "/";
    int links = 0;
    while (!todo.empty()) {
        const std::string name = todo.front();
        todo.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            folder = Parent(folder);
            continue;
        }
        TStep step;
        step.Folder = folder;
        step.Entry = Joined(folder, name);
        if (::lstat(folder.c_str(), &step.FolderStat) != 0 || ::lstat(step.Entry.c_str(), &step.EntryStat) != 0)
            return ShownText(step.Entry) + ": " + std::strerror(errno);
        steps.push_back(step);
        if (S_ISLNK(step.EntryStat.st_mode)) {
            const std::string target = ReadLink(step.Entry);
            if (++links > kMaxLinks || target.empty())
                return ShownText(step.Entry) + ": " + std::strerror(target.empty() ? EINVAL : ELOOP);
            const std::deque<std::string> parts = Components(target);
            todo.insert(todo.begin(), parts.begin(), parts.end());
            if (target.front() == '/') folder = "/";
        } else {
            folder = step.Entry;
        }
    }
    if (steps.empty()) return ShownText(path) + ": not a file";
    return {};
}

std::string UserName(uid_t uid) {
    if (const passwd* pw = ::getpwuid(uid)) return std::string("user ") + pw->pw_name;
    return "uid " + std::to_string(uid);
}

std::string Mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

class TJudge {
public:
    explicit TJudge(uid_t fileOwner) : owner_(fileOwner) {}

    std::string Step(const TStep& s) const {
        const struct stat& f = s.FolderStat;
        const std::string folder = ShownText(s.Folder);
        if (!Trusted(f.st_uid))
            return "the folder " + folder + " belongs to " + UserName(f.st_uid) + ", who may change what is in it";
        if (OthersMayWrite(f)) {
            if (!(f.st_mode & S_ISVTX))
                return "other users may write to the folder " + folder + " (mode " + Mode(f.st_mode) + ")";
            if (s.EntryStat.st_uid != 0 && s.EntryStat.st_uid != ::geteuid())
                return ShownText(s.Entry) + " belongs to " + UserName(s.EntryStat.st_uid) + " in " + folder +
                       ", a folder other users may write to (mode " + Mode(f.st_mode) + ")";
        }
        if (S_ISLNK(s.EntryStat.st_mode) && !Trusted(s.EntryStat.st_uid))
            return "the link " + ShownText(s.Entry) + " belongs to " + UserName(s.EntryStat.st_uid);
        return {};
    }

private:
    bool Trusted(uid_t uid) const { return uid == 0 || uid == ::geteuid() || uid == owner_; }

    bool OthersMayWrite(const struct stat& folder) const {
        if (folder.st_mode & S_IWOTH) return true;
        return (folder.st_mode & S_IWGRP) && !OwnGroup(folder.st_gid);
    }

    // A trusted user's own group (as useradd makes one per user, and a umask of 002 then leaves
    // every folder group-writable): named after that user, their primary group, no one else listed.
    bool OwnGroup(gid_t gid) const {
        const group* g = ::getgrgid(gid);
        if (!g) return false;
        const std::string name = g->gr_name;
        std::vector<std::string> members;
        for (char** m = g->gr_mem; m && *m; ++m) members.emplace_back(*m);
        const passwd* pw = ::getpwnam(name.c_str());
        if (!pw || pw->pw_gid != gid || !Trusted(pw->pw_uid)) return false;
        for (const std::string& member : members) {
            const passwd* m = ::getpwnam(member.c_str());
            if (!m || !Trusted(m->pw_uid)) return false;
        }
        return true;
    }

    uid_t owner_;
};

}  // namespace

std::string UntrustedPathReason(const std::string& path, int fd) {
    std::vector<TStep> steps;
    if (std::string problem = FollowWay(path, steps); !problem.empty()) return problem;
    const struct stat& file = steps.back().EntryStat;
    struct stat opened {};
    if (fd >= 0 && (::fstat(fd, &opened) != 0 || opened.st_dev != file.st_dev || opened.st_ino != file.st_ino))
        return ShownText(path) + " was replaced while it was read";
    const TJudge judge(file.st_uid);
    for (const TStep& step : steps)
        if (std::string problem = judge.Step(step); !problem.empty()) return problem;
    return {};
}
