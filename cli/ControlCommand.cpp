#include "cli/ControlCommand.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/ShownText.h"
#include "base/UniqueFd.h"
#include "control/ControlAccess.h"

namespace {

constexpr int kRefused = 1;
constexpr int kUnreachable = 2;
constexpr int kReplyWaitMs = 30000;

const char* const kUsage =
    "Usage: zupflshc control ADDRESS REQUEST [ARGS] [--force] [--tag TEXT] [--control-token FILE]\n"
    "Sends one request to a station started with --control ADDRESS (unix:PATH or\n"
    "tcp:HOST:PORT) and prints its reply, one JSON object.\n"
    "  status               the firmware, every port's state and result, the totals\n"
    "  start                starts a station held with --hold\n"
    "  stop [--force]       stops every port; refused while a unit is being written\n"
    "                       unless --force (that unit is left half-written)\n"
    "  pause PORT           the port finishes its unit, then waits\n"
    "  resume PORT          the port goes on\n"
    "  unit_id PORT ID      the id of the port's next unit, as a scanner gives it\n"
    "  subscribe            prints every event of the station until Ctrl-C\n"
    "PORT is named as on --scan input: its position, COM n or its device.\n"
    "--control-token FILE: the token a tcp: station asks for (a file of yours, 0600).\n"
    "Exit status: 0 the station said ok, 1 it refused, 2 it could not be reached.\n";

int Unreachable(const std::string& text) {
    std::fprintf(stderr, "zupflshc: %s\n", text.c_str());
    return kUnreachable;
}

TUniqueFd Connect(const TControlAddress& address, std::string& error) {
    if (address.Kind == TControlAddress::TKind::Unix) {
        TUniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        if (address.Path.size() >= sizeof to.sun_path) {
            error = "the socket's path is too long";
            return TUniqueFd();
        }
        std::memcpy(to.sun_path, address.Path.c_str(), address.Path.size() + 1);
        if (fd.Valid() && ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
        error = std::strerror(errno);
        return TUniqueFd();
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(address.Host.c_str(), std::to_string(address.Port).c_str(), &hints, &found); rc != 0) {
        error = ::gai_strerror(rc);
        return TUniqueFd();
    }
    error = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        TUniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (fd.Valid() && ::connect(fd.Get(), a->ai_addr, a->ai_addrlen) == 0) {
            ::freeaddrinfo(found);
            return fd;
        }
        error = std::strerror(errno);
    }
    ::freeaddrinfo(found);
    return TUniqueFd();
}

// The next line from the station, false once it has closed (or is silent past `waitMs`, -1 never).
bool ReadLine(int fd, std::string& pending, std::string& line, int waitMs) {
    for (;;) {
        if (const size_t end = pending.find('\n'); end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        pollfd in{fd, POLLIN, 0};
        const int ready = ::poll(&in, 1, waitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[8192];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
}

// The request the words ask for; false with `error` for words that make none.
bool Request(const QStringList& words, QJsonObject& request, std::string& error) {
    const QString cmd = words.value(0);
    const int args = static_cast<int>(words.size()) - 1;
    const int wanted = cmd == "unit_id" ? 2 : cmd == "pause" || cmd == "resume" ? 1 : 0;
    if (!QStringList{"status", "start", "stop", "pause", "resume", "unit_id", "subscribe"}.contains(cmd)) {
        error = "unknown request '" + ShownText(cmd.toStdString()) + "' (see zupflshc control --help)";
        return false;
    }
    if (args != wanted) {
        error = cmd.toStdString() + (wanted == 2 ? " takes PORT and ID" : wanted == 1 ? " takes PORT" : " takes nothing more");
        return false;
    }
    request.insert("cmd", cmd);
    if (wanted >= 1) request.insert("port", words[1]);
    if (wanted == 2) request.insert("id", words[2]);
    return true;
}

bool SendLine(int fd, const QJsonObject& request) {
    const QByteArray line = QJsonDocument(request).toJson(QJsonDocument::Compact) + "\n";
    for (qsizetype sent = 0; sent < line.size();) {
        const ssize_t n = ::send(fd, line.constData() + sent, static_cast<size_t>(line.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += n;
    }
    return true;
}

// Options out of the way: --force, --tag TEXT, --control-token FILE; the rest in `words`.
bool TakeOptions(QStringList& words, QJsonObject& extra, std::string& tokenFile, std::string& error) {
    for (qsizetype i = 0; i < words.size();) {
        const QString word = words[i];
        if (word == "--force") {
            extra.insert("force", true);
        } else if ((word == "--tag" || word == "--control-token") && i + 1 < words.size()) {
            if (word == "--tag") extra.insert("tag", words[i + 1]);
            else tokenFile = words[i + 1].toLocal8Bit().toStdString();
            words.removeAt(i);
        } else if (word.startsWith("--")) {
            error = "control does not take " + word.toStdString() + " (see zupflshc control --help)";
            return false;
        } else {
            ++i;
            continue;
        }
        words.removeAt(i);
    }
    return true;
}

}  // namespace

int RunControlCommand(const QStringList& given) {
    if (given.contains("--help") || given.contains("-h") || given.isEmpty()) {
        std::fputs(kUsage, given.isEmpty() ? stderr : stdout);
        return given.isEmpty() ? kUnreachable : 0;
    }
    QStringList words = given;
    QJsonObject request;
    std::string tokenFile, error;
    TControlAddress address;
    if (!TakeOptions(words, request, tokenFile, error) || words.size() < 2 ||
        !ParseControlAddress(words[0].toLocal8Bit().toStdString(), address, error) ||
        !Request(words.mid(1), request, error))
        return Unreachable(error.empty() ? "control needs ADDRESS and REQUEST (see zupflshc control --help)" : error);
    if (request.contains("force") && request["cmd"] != "stop") return Unreachable("--force goes with stop");
    std::string token;
    if (!tokenFile.empty() && !ReadControlToken(tokenFile, token, error)) return Unreachable(error);
    if (!token.empty()) request.insert("token", QString::fromStdString(token));
    std::signal(SIGPIPE, SIG_IGN);
    const TUniqueFd fd = Connect(address, error);
    if (!fd.Valid()) return Unreachable("cannot reach the station at " + ShownText(address.Text()) + ": " + error);
    std::string pending, line;
    if (!SendLine(fd.Get(), request) || !ReadLine(fd.Get(), pending, line, kReplyWaitMs))
        return Unreachable("the station at " + ShownText(address.Text()) + " gave no reply");
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    const QJsonObject reply = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    if (reply["ok"] != true) return kRefused;
    if (request["cmd"] != "subscribe") return 0;
    while (ReadLine(fd.Get(), pending, line, -1)) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (QJsonDocument::fromJson(QByteArray::fromStdString(line)).object()["dropped"] == true) return kRefused;
    }
    return 0;
}
