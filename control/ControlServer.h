// A station's control socket: the line's software sends one JSON object a line ("cmd": status,
// start, stop, pause, resume, unit_id, subscribe) and gets one reply a line, and, once subscribed,
// every event of the station. Any number of clients; one that stops reading is dropped rather
// than let hold up a port or a window.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/ControlAccess.h"

class QIODevice;
class QLocalServer;
class QTcpServer;

// What a station does when asked. Each action returns "" when taken, otherwise why not (the reply's
// error). Called on the event loop's thread.
class TControlledStation {
public:
    virtual ~TControlledStation() = default;
    virtual QJsonObject Status() const = 0;
    virtual std::string Start() = 0;
    // `force`: a unit being written is interrupted; without it a station writing a unit refuses.
    virtual std::string Stop(bool force) = 0;
    // The port named finishes its unit, then waits (pause), or goes on (resume).
    virtual std::string Pause(const std::string& port, bool pause) = 0;
    virtual std::string GiveUnitId(const std::string& port, const std::string& id) = 0;
};

class TControlServer {
public:
    static constexpr size_t kMaxLine = 64 * 1024;      // a request longer than this is refused
    static constexpr qint64 kMaxQueued = 1024 * 1024;  // bytes a client may leave unread before it is dropped

    explicit TControlServer(TControlledStation& station);
    ~TControlServer();
    TControlServer(const TControlServer&) = delete;
    TControlServer& operator=(const TControlServer&) = delete;

    // Listens at `address`; TCP needs `tokenFile`. False with `error`, and nothing listens.
    bool Listen(const TControlAddress& address, const std::string& tokenFile, std::string& error);
    // Where it listens, as a client names it (a TCP port of 0 made concrete).
    std::string Address() const;
    // An event of the station, for every subscribed client; `port` names the port it is of.
    void Publish(const QJsonObject& event);
    size_t Clients() const { return clients_.size(); }
    // Until a station is ready its clients' requests wait unread (a window answers once its ports
    // have the names it will go on using); once ready, what waited is answered in order.
    void SetReady(bool ready);

    // Refused and dropped clients are told here (the station's log); stderr when unset.
    std::function<void(const std::string&)> Log;

private:
    struct TClient;
    void Accept(QIODevice* socket, bool trusted);
    void AcceptLocal();
    void Read(TClient& client);
    void Take(TClient& client, const std::string& line);
    QJsonObject Answer(TClient& client, const QJsonObject& request);
    void Send(TClient& client, const QJsonObject& reply);
    void SendLine(TClient& client, const QByteArray& line);
    void Drop(TClient& client, const std::string& why);
    void Forget(TClient* client);
    void Say(const std::string& text) const;

    TControlledStation& station_;
    TControlAddress address_;
    std::string token_;
    unsigned socketGroup_ = 0;
    bool ready_ = true;
    QObject context_;
    std::unique_ptr<QLocalServer> local_;
    std::unique_ptr<QTcpServer> tcp_;
    std::vector<std::unique_ptr<TClient>> clients_;
};
