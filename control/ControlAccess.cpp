#include "control/ControlAccess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/ShownText.h"
#include "base/TrustedPath.h"
#include "base/UniqueFd.h"

namespace {

constexpr size_t kMinToken = 16;
constexpr size_t kMaxToken = 4096;

bool Number(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoi(text);
    return value >= low && value <= high;
}

std::string Folder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string TControlAddress::Text() const {
    if (Kind == TKind::Unix) return "unix:" + Path;
    return "tcp:" + (Host.find(':') != std::string::npos ? "[" + Host + "]" : Host) + ":" + std::to_string(Port);
}

bool ParseControlAddress(const std::string& text, TControlAddress& address, std::string& error) {
    error = "'" + ShownText(text) + "' is no control address: give unix:/PATH or tcp:HOST:PORT";
    if (text.rfind("unix:", 0) == 0) {
        address.Kind = TControlAddress::TKind::Unix;
        address.Path = text.substr(5);
        if (address.Path.size() < 2 || address.Path[0] != '/' || address.Path.back() == '/') {
            error = "unix: needs the socket's absolute path, as unix:/run/zupflshc/line3.sock";
            return false;
        }
        return true;
    }
    if (text.rfind("tcp:", 0) != 0) return false;
    std::string rest = text.substr(4);
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || !Number(rest.substr(colon + 1), 0, 65535, address.Port)) return false;
    std::string host = rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) return false;
    address.Kind = TControlAddress::TKind::Tcp;
    address.Host = host;
    return true;
}

std::string PrepareSocketFolder(const std::string& socketPath) {
    const std::string folder = Folder(socketPath);
    if (::mkdir(folder.c_str(), 0750) != 0 && errno != EEXIST)
        return "cannot make the control socket's folder '" + ShownText(folder) + "': " + std::strerror(errno);
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) return "'" + ShownText(folder) + "': " + std::strerror(errno);
    // The folder keeps everyone but the station's user and group away from the socket, whatever
    // the socket's own mode: a folder another user owns or may write to could have the socket swapped.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 0027) != 0)
        return "the control socket's folder '" + ShownText(folder) +
               "' must be a folder of this user's own, mode 0750 or tighter";
    return {};
}

namespace {

// The groups the peer's process is in; its user's groups as the system lists them where the kernel
// cannot tell (before Linux 4.13).
bool InGroup(int fd, uid_t uid, gid_t socketGroup) {
    std::vector<gid_t> own(64);
    for (int tries = 0; tries < 2; ++tries) {
        socklen_t size = static_cast<socklen_t>(own.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, own.data(), &size) == 0) {
            own.resize(size / sizeof(gid_t));
            for (gid_t g : own)
                if (g == socketGroup) return true;
            return false;
        }
        if (errno != ERANGE) break;
        own.resize(size / sizeof(gid_t) + 1);
    }
    std::vector<char> buffer(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) return false;
    }
    groups.resize(static_cast<size_t>(count));
    for (gid_t g : groups)
        if (g == socketGroup) return true;
    return false;
}

}  // namespace

bool PeerAllowed(int fd, gid_t socketGroup, std::string& who) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        who = "a peer of unknown credentials";
        return false;
    }
    who = "user " + std::to_string(peer.uid) + " (process " + std::to_string(peer.pid) + ")";
    return peer.uid == 0 || peer.uid == ::geteuid() || peer.gid == socketGroup || InGroup(fd, peer.uid, socketGroup);
}

bool ReadControlToken(const std::string& path, std::string& token, std::string& error) {
    const std::string shown = "the control token '" + ShownText(path) + "'";
    TUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.Valid()) {
        error = shown + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = shown + " is not a file";
        return false;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0) {
        error = shown + " must be this user's own file, mode 0600";
        return false;
    }
    if (const std::string untrusted = UntrustedPathReason(path, fd.Get()); !untrusted.empty()) {
        error = shown + " is not used: " + untrusted;
        return false;
    }
    std::string bytes(kMaxToken + 1, '\0');
    const ssize_t n = ::read(fd.Get(), bytes.data(), bytes.size());
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    const size_t first = bytes.find_first_not_of(" \t\r\n");
    const size_t last = bytes.find_last_not_of(" \t\r\n");
    token = first == std::string::npos ? std::string() : bytes.substr(first, last - first + 1);
    if (token.size() < kMinToken || token.size() > kMaxToken) {
        error = shown + " must hold 16 to 4096 characters";
        return false;
    }
    return true;
}

bool SameToken(const std::string& given, const std::string& token) {
    unsigned char differ = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i)
        differ |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    return differ == 0;
}
