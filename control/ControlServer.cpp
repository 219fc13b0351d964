#include "control/ControlServer.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/ShownText.h"
#include "base/UniqueFd.h"

struct TControlServer::TClient {
    QIODevice* Socket = nullptr;  // deleted later, once forgotten: it may be inside its own signal
    bool Authorized = false;      // a local peer checked on connect, or a TCP client that gave the token
    bool Subscribed = false;
    bool Gone = false;
    bool Skipping = false;        // within an over-long line, until its end
    std::string Pending;          // a line not yet ended
};

namespace {

QJsonObject Refusal(const std::string& error) {
    return {{"ok", false}, {"error", QString::fromStdString(error)}};
}

// A socket at `path` that someone still accepts on: another station's, never to be taken over.
bool SomeoneListens(const std::string& path) {
    TUniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd.Valid() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// The old socket of a station that ended without removing it is taken over; anything else is not.
std::string ClearSocketPath(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {};
    if (!S_ISSOCK(st.st_mode)) return "'" + ShownText(path) + "' exists and is no socket: not replaced";
    if (SomeoneListens(path)) return "another station listens at '" + ShownText(path) + "'";
    if (::unlink(path.c_str()) != 0) return "cannot remove the old socket '" + ShownText(path) + "': " + std::strerror(errno);
    return {};
}

template <class Socket>
void WhenGone(Socket* socket, QObject* context, std::function<void()> gone) {
    QObject::connect(socket, &Socket::disconnected, context, gone);
}

}  // namespace

TControlServer::TControlServer(TControlledStation& station) : station_(station) {}

TControlServer::~TControlServer() {
    // The last replies and events (a stop's, the results it brought) go out before the sockets close.
    for (auto& client : clients_)
        if (!client->Gone) {
            if (auto* local = qobject_cast<QLocalSocket*>(client->Socket)) local->flush();
            if (auto* tcp = qobject_cast<QTcpSocket*>(client->Socket)) tcp->flush();
            delete client->Socket;
        }
    clients_.clear();
    if (local_ && address_.Kind == TControlAddress::TKind::Unix) {
        local_->close();
        ::unlink(address_.Path.c_str());
    }
}

bool TControlServer::Listen(const TControlAddress& address, const std::string& tokenFile, std::string& error) {
    address_ = address;
    if (address.Kind == TControlAddress::TKind::Tcp) {
        // A network listener answers anyone who can reach the port: nobody without the token.
        if (tokenFile.empty()) {
            error = "--control tcp: needs --control-token FILE: a client must give its token first";
            return false;
        }
        if (!ReadControlToken(tokenFile, token_, error)) return false;
        const QHostAddress host = address.Host == "localhost" ? QHostAddress(QHostAddress::LocalHost)
                                                              : QHostAddress(QString::fromStdString(address.Host));
        tcp_ = std::make_unique<QTcpServer>();
        if (host.isNull() || !tcp_->listen(host, static_cast<quint16>(address.Port))) {
            error = "cannot listen at " + address.Text() + ": " +
                    (host.isNull() ? std::string("give the host as an address") : tcp_->errorString().toStdString());
            tcp_.reset();
            return false;
        }
        QObject::connect(tcp_.get(), &QTcpServer::newConnection, &context_, [this] {
            while (QTcpSocket* socket = tcp_->nextPendingConnection()) Accept(socket, false);
        });
        return true;
    }
    error = PrepareSocketFolder(address.Path);
    if (error.empty()) error = ClearSocketPath(address.Path);
    if (!error.empty()) return false;
    local_ = std::make_unique<QLocalServer>();
    struct stat st {};
    if (!local_->listen(QString::fromStdString(address.Path)) || ::chmod(address.Path.c_str(), 0660) != 0 ||
        ::stat(address.Path.c_str(), &st) != 0) {
        error = "cannot listen at " + address.Text() + ": " + local_->errorString().toStdString();
        local_.reset();
        return false;
    }
    socketGroup_ = st.st_gid;
    QObject::connect(local_.get(), &QLocalServer::newConnection, &context_, [this] { AcceptLocal(); });
    return true;
}

std::string TControlServer::Address() const {
    if (!tcp_) return address_.Text();
    TControlAddress bound = address_;
    bound.Port = tcp_->serverPort();
    return bound.Text();
}

// Only the station's user, root and its group's members; anyone else is told, logged and cut off.
void TControlServer::AcceptLocal() {
    while (QLocalSocket* socket = local_->nextPendingConnection()) {
        std::string who;
        if (PeerAllowed(static_cast<int>(socket->socketDescriptor()), static_cast<gid_t>(socketGroup_), who)) {
            Accept(socket, true);
            continue;
        }
        Say("control: refused " + who + ": only this station's user, root and members of its socket's group may connect");
        // Told at once on the descriptor, never queued: the connection ends here.
        const QByteArray line =
            QJsonDocument(Refusal("not allowed: this station's user, root or its group only")).toJson(QJsonDocument::Compact) + "\n";
        [[maybe_unused]] const ssize_t told = ::send(static_cast<int>(socket->socketDescriptor()), line.constData(),
                                                     static_cast<size_t>(line.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        socket->abort();
        socket->deleteLater();
    }
}

void TControlServer::Accept(QIODevice* socket, bool trusted) {
    socket->setParent(nullptr);
    clients_.push_back(std::make_unique<TClient>());
    TClient* client = clients_.back().get();
    client->Socket = socket;
    client->Authorized = trusted;
    QObject::connect(socket, &QIODevice::readyRead, &context_, [this, client] { Read(*client); });
    if (auto* local = qobject_cast<QLocalSocket*>(socket)) WhenGone(local, &context_, [this, client] { Forget(client); });
    if (auto* tcp = qobject_cast<QTcpSocket*>(socket)) WhenGone(tcp, &context_, [this, client] { Forget(client); });
    if (socket->bytesAvailable() > 0) Read(*client);
}

// Lines as they come; a line past the limit is answered once, and its rest (up to its newline) is
// never read as a request of its own.
void TControlServer::SetReady(bool ready) {
    ready_ = ready;
    if (!ready) return;
    // Clients are never removed within this loop (only after the request being handled).
    for (size_t i = 0; i < clients_.size(); ++i)
        if (!clients_[i]->Gone) Read(*clients_[i]);
}

void TControlServer::Read(TClient& client) {
    if (!ready_) return;
    char buffer[16384];
    while (!client.Gone && client.Socket->bytesAvailable() > 0) {
        const qint64 n = client.Socket->read(buffer, sizeof buffer);
        if (n <= 0) return;
        std::string_view got(buffer, static_cast<size_t>(n));
        while (!got.empty() && !client.Gone) {
            const size_t end = got.find('\n');
            if (client.Skipping) {
                if (end == std::string_view::npos) break;
                got.remove_prefix(end + 1);
                client.Skipping = false;
                continue;
            }
            client.Pending.append(got.substr(0, end));
            if (client.Pending.size() > kMaxLine) {
                client.Pending.clear();
                client.Skipping = end == std::string_view::npos;
                Send(client, Refusal("line too long: a request is at most 65536 bytes"));
            } else if (end != std::string_view::npos) {
                std::string line;
                line.swap(client.Pending);
                Take(client, line);
            }
            if (end == std::string_view::npos) break;
            got.remove_prefix(end + 1);
        }
    }
}

void TControlServer::Take(TClient& client, const std::string& typed) {
    const std::string line = !typed.empty() && typed.back() == '\r' ? typed.substr(0, typed.size() - 1) : typed;
    if (line.find_first_not_of(" \t") == std::string::npos) return;
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &parsed);
    if (parsed.error != QJsonParseError::NoError || !document.isObject())
        return Send(client, Refusal("not a JSON object: a request is one object a line, as {\"cmd\": \"status\"}"));
    const QJsonObject request = document.object();
    const bool authorized = client.Authorized;
    QJsonObject reply = Answer(client, request);
    if (request.contains("tag")) reply.insert("tag", request.value("tag"));
    Send(client, reply);
    if (!authorized && !client.Authorized) Drop(client, "control: a TCP client without the token was cut off");
}

QJsonObject TControlServer::Answer(TClient& client, const QJsonObject& request) {
    if (!client.Authorized) {
        const QJsonValue token = request.value("token");
        if (!token.isString() || !SameToken(token.toString().toStdString(), token_))
            return Refusal("the first request must carry the station's token");
        client.Authorized = true;
        if (!request.contains("cmd")) return {{"ok", true}};
    }
    const QJsonValue cmd = request.value("cmd");
    if (!cmd.isString()) return Refusal("missing field 'cmd': the request, a string");
    const std::string name = cmd.toString().toStdString();
    std::string missing;
    const auto text = [&](const char* field) {
        const QJsonValue value = request.value(field);
        if (!value.isString() && missing.empty()) missing = field;
        return value.toString().toStdString();
    };
    const auto done = [&](const std::string& refusal) {
        if (!missing.empty()) return Refusal("missing field '" + missing + "': a string");
        return refusal.empty() ? QJsonObject{{"ok", true}} : Refusal(refusal);
    };
    if (name == "status") {
        QJsonObject status = station_.Status();
        status.insert("ok", true);
        return status;
    }
    if (name == "start") return done(station_.Start());
    if (name == "stop") {
        const QJsonValue force = request.value("force");
        if (!force.isUndefined() && !force.isBool()) return Refusal("'force' is true or false");
        return done(station_.Stop(force.toBool()));
    }
    if (name == "pause" || name == "resume") {
        const std::string port = text("port");
        return done(missing.empty() ? station_.Pause(port, name == "pause") : std::string());
    }
    if (name == "unit_id") {
        const std::string port = text("port");
        const std::string id = text("id");
        return done(missing.empty() ? station_.GiveUnitId(port, id) : std::string());
    }
    if (name == "subscribe") {
        client.Subscribed = true;
        return {{"ok", true}};
    }
    return Refusal("unknown request '" + ShownText(name) + "' (status, start, stop, pause, resume, unit_id or subscribe)");
}

void TControlServer::Publish(const QJsonObject& event) {
    QByteArray line;
    for (size_t i = 0; i < clients_.size(); ++i) {
        TClient& client = *clients_[i];
        if (!client.Subscribed || !client.Authorized || client.Gone) continue;
        if (line.isEmpty()) line = QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n";
        SendLine(client, line);
    }
}

// Nothing here ever waits for a client: what it has not read piles up to a bound, past which the
// client is told (as far as it still reads) and dropped.
void TControlServer::Send(TClient& client, const QJsonObject& reply) {
    SendLine(client, QJsonDocument(reply).toJson(QJsonDocument::Compact) + "\n");
}

void TControlServer::SendLine(TClient& client, const QByteArray& line) {
    if (client.Gone) return;
    if (client.Socket->bytesToWrite() + line.size() > kMaxQueued)
        return Drop(client, "control: a client that left 1 MiB unread was dropped");
    client.Socket->write(line);
}

void TControlServer::Drop(TClient& client, const std::string& why) {
    if (client.Gone) return;
    Say(why);
    QJsonObject notice = Refusal("dropped: " + why.substr(why.find(": ") + 2));
    notice.insert("dropped", true);
    client.Socket->write(QJsonDocument(notice).toJson(QJsonDocument::Compact) + "\n");
    if (auto* local = qobject_cast<QLocalSocket*>(client.Socket)) local->flush();
    if (auto* tcp = qobject_cast<QTcpSocket*>(client.Socket)) tcp->flush();
    Forget(&client);
}

void TControlServer::Forget(TClient* client) {
    if (client->Gone) return;
    client->Gone = true;
    QObject::disconnect(client->Socket, nullptr, &context_, nullptr);
    client->Socket->close();
    client->Socket->deleteLater();
    // Removed after the signal or request being handled, which may still hold the client.
    QTimer::singleShot(0, &context_, [this, client] {
        for (size_t i = 0; i < clients_.size(); ++i)
            if (clients_[i].get() == client) clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
    });
}

void TControlServer::Say(const std::string& text) const {
    if (Log) return Log(text);
    std::fprintf(stderr, "zupflshc: %s\n", text.c_str());
    std::fflush(stderr);
}
