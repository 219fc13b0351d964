// A station driven by the line's software through its control socket only: a held recipe run
// started, paused, given ids and watched; a stop that would cut a unit in half refused; bad input,
// crowds of clients and a client that never reads leaving the units unharmed; a second user and a
// TCP client without the token kept out.
#include <QJsonArray>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include "base/Sha256.h"
#include "base/UniqueFd.h"
#include "control/StationStatus.h"
#include "support/AsUser.h"
#include "support/Firmware.h"
#include "support/StationRun.h"

namespace fs = std::filesystem;

namespace {

// One client of the socket, reading and writing as the line's software would.
struct Link {
    TUniqueFd fd;
    std::string pending;

    static Link Unix(const std::string& path) {
        Link link;
        link.fd.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        std::strncpy(to.sun_path, path.c_str(), sizeof to.sun_path - 1);
        if (::connect(link.fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) link.fd.Reset();
        return link;
    }
    static Link Tcp(int port) {
        Link link;
        link.fd.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(link.fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) link.fd.Reset();
        return link;
    }
    // The station's socket once it listens (it prepares the firmware first), while it runs.
    static Link Await(const std::string& path, QProcess& station) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 60000 && station.state() == QProcess::Running) {
            Link link = Unix(path);
            if (link.fd.Valid()) return link;
            station.waitForFinished(20);
        }
        return Link();
    }
    bool Send(const std::string& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    // The next line, nullopt once the station closed the connection or `ms` passed.
    std::optional<QJsonObject> Next(int ms = 30000) {
        QElapsedTimer clock;
        clock.start();
        while (pending.find('\n') == std::string::npos) {
            pollfd in{fd.Get(), POLLIN, 0};
            if (clock.elapsed() > ms || ::poll(&in, 1, 100) < 0) return std::nullopt;
            if (!(in.revents & (POLLIN | POLLHUP))) continue;
            char buffer[8192];
            const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
            if (n <= 0) return std::nullopt;
            pending.append(buffer, static_cast<size_t>(n));
        }
        const size_t end = pending.find('\n');
        const QJsonObject line = Json(pending.substr(0, end));
        pending.erase(0, end + 1);
        return line;
    }
    QJsonObject Ask(const QJsonObject& request) {
        // A station that refuses the client has told it why before it closed: read even when the send failed.
        Send(QJsonDocument(request).toJson(QJsonDocument::Compact).toStdString() + "\n");
        return Next().value_or(QJsonObject{});
    }
    // Events until `done` says so (true), or the connection ends or `ms` pass (false).
    bool Until(const std::function<bool(const QJsonObject&)>& done, int ms = 120000) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms)
            if (const auto event = Next(ms); !event || done(*event)) return event.has_value();
        return false;
    }
};

// A recipe of `ports` simulated units at `s`, and the station's socket path.
std::string WriteRecipe(Station& s, int ports, int chunks, const QStringList& options, bool paced = false) {
    for (int i = 1; i <= ports; ++i)
        paced ? s.Unit(i, {"--pace", "--restart-ms", "100"}) : s.Unit(i);
    const TestFirmware fw = TestFirmware::Make(chunks, 5);
    const std::string recipe = s.root / "line.json";
    const Outcome w = s.Run(QStringList{"recipe", "write", Q(recipe), "upload", Q(s.File("fw.h86", fw.hex)),
                                        "--record-db", Q(s.root / "line.sqlite")} +
                            options + s.Devices(ports));
    EXPECT_EQ(w.status, 0) << w.err;
    return recipe;
}

QString Error(const QJsonObject& reply) { return reply["ok"] == false ? reply["error"].toString() : "(ok)"; }

}  // namespace

// Held until `start`; an id reaches its unit's record; one port paused after its unit while the
// others load theirs, then resumed; every unit's result reaches a subscriber; status before and after.
TEST(Control, AHeldRecipeRunIsDrivenThroughItsSocketOnly) {
    Station s;
    const std::string recipe = WriteRecipe(s, 3, 20, {"--loop", "--count", "3"});
    const std::string socket = s.root / "run/line3.sock";
    QProcess p;
    s.Start(p, {"recipe", "run", Q(recipe), "--tick-ms", "2", "--control", Q("unix:" + socket), "--hold"});
    Link ask = Link::Await(socket, p);
    ASSERT_TRUE(ask.fd.Valid()) << p.readAllStandardError().toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    ASSERT_EQ(::stat((s.root / "run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);

    const QJsonObject before = ask.Ask({{"cmd", "status"}, {"tag", "before"}});
    EXPECT_EQ(before["tag"], "before");
    EXPECT_EQ(before["held"], true);
    EXPECT_EQ(before["firmware"].toObject()["sha256"], Q(Sha256Hex(ReadWholeFile(s.root / "fw.h86"))));
    EXPECT_EQ(before["ports"].toArray().size(), 3);
    EXPECT_EQ(before["totals"].toObject()["loaded"].toInt(), 0);
    Link events = Link::Unix(socket);
    EXPECT_EQ(events.Ask({{"cmd", "subscribe"}})["ok"], true);
    for (const QJsonObject& request : {QJsonObject{{"cmd", "unit_id"}, {"port", "1"}, {"id", "MXR2-10420"}},
                                       QJsonObject{{"cmd", "pause"}, {"port", "#2"}}, QJsonObject{{"cmd", "start"}}})
        EXPECT_EQ(Error(ask.Ask(request)), "(ok)") << request["cmd"].toString().toStdString();
    EXPECT_NE(Error(ask.Ask({{"cmd", "start"}})), "(ok)") << "a running station is not started twice";

    std::map<QString, int> results;
    bool paused = false;
    const QString first = Q(s.Device(1)), second = Q(s.Device(2)), third = Q(s.Device(3));
    const auto seen = [&](const QJsonObject& e) {
        if (e["event"] == "result") results[e["unit"].toString()] += e["status"].toInt() == 0 ? 1 : 100;
        if (e["event"] == "paused") paused = e["unit"] == second;
    };
    ASSERT_TRUE(events.Until([&](const QJsonObject& e) {
        return seen(e), paused && results[first] == 3 && results[third] == 3;
    }));
    EXPECT_EQ(results[second], 1) << "the paused port finished its unit and took no other";
    const QJsonObject after = ask.Ask({{"cmd", "status"}});
    EXPECT_EQ(after["totals"].toObject()["loaded"].toInt(), 7);
    EXPECT_EQ(after["totals"].toObject()["first_pass_yield"].toDouble(), 1.0);
    EXPECT_EQ(after["ports"].toArray()[1].toObject()["paused"], true);
    EXPECT_EQ(after["ports"].toArray()[0].toObject()["units"].toInt(), 3);

    EXPECT_EQ(Error(ask.Ask({{"cmd", "resume"}, {"port", "#2"}})), "(ok)");
    ASSERT_TRUE(events.Until([&](const QJsonObject& e) { return seen(e), results[second] == 3; }));
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_FALSE(fs::exists(socket)) << "the station removes its socket";
    const Outcome history = s.Run({"history", "--json", "--record-db", Q(s.root / "line.sqlite")});
    int withId = 0;
    for (const std::string& line : Lines(history.out)) withId += Json(line)["unit_id"] == "MXR2-10420";
    EXPECT_EQ(withId, 1) << history.out;
}

// Stopping while a unit is written is refused (status 1 from the client), taken with --force (0)
// and the unit ends interrupted; a station that is gone cannot be reached (2).
TEST(Control, AStopThatWouldCutAUnitInHalfWantsForce) {
    Station s;
    // Units that take the blocks at the wire's pace: a unit is still being written when --force comes.
    const std::string recipe = WriteRecipe(s, 2, 300, {"--loop"}, true);
    const std::string address = "unix:" + (s.root / "run/line.sock");
    QProcess p;
    s.Start(p, {"recipe", "run", Q(recipe), "--tick-ms", "2", "--control", Q(address)});
    Link events = Link::Await(s.root / "run/line.sock", p);
    ASSERT_EQ(events.Ask({{"cmd", "subscribe"}})["ok"], true);
    ASSERT_TRUE(events.Until([](const QJsonObject& e) { return e["event"] == "block" && e["block"].toInt() >= 5; }));
    const Outcome refused = s.Run({"control", Q(address), "stop"});
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_NE(refused.out.find("half-written"), std::string::npos) << refused.out;
    EXPECT_EQ(s.Run({"control", Q(address), "stop", "--force"}).status, 0);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 130);
    EXPECT_EQ(s.Run({"control", Q(address), "status"}).status, 2);
}

// Every kind of bad request has its reply and the connection goes on; a hundred clients come and
// go; a client that never reads is subscribed while eight units load, and all eight load.
TEST(Control, BadRequestsCrowdsAndASilentClientLeaveTheUnitsUnharmed) {
    Station s;
    const std::string recipe = WriteRecipe(s, 8, 20, {});
    const std::string socket = s.root / "run/line.sock";
    QProcess p;
    s.Start(p, {"recipe", "run", Q(recipe), "--json", "--tick-ms", "2", "--control", Q("unix:" + socket), "--hold"});
    Link ask = Link::Await(socket, p);
    ASSERT_TRUE(ask.fd.Valid());
    const struct {
        std::string line;
        const char* error;
    } rows[] = {
        {"status please", "not a JSON object"},
        {"[1, 2]", "not a JSON object"},
        {std::string(1 << 20, 'x'), "line too long"},
        {R"({"cmd": "fly"})", "unknown request 'fly'"},
        {R"({"port": "1"})", "missing field 'cmd'"},
        {R"({"cmd": "unit_id", "port": "1"})", "missing field 'id'"},
        {R"({"cmd": "pause", "port": 3})", "missing field 'port'"},
        {R"({"cmd": "unit_id", "port": "COM 7", "id": "MXR2-1"})", "names no port"},
        {R"({"cmd": "unit_id", "port": "1", "id": "MXR2\u0007-1"})", "unit id"},
        {R"({"cmd": "stop", "force": "yes"})", "'force' is true or false"},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(ask.Send(row.line + "\n"));
        const QJsonObject reply = ask.Next().value_or(QJsonObject{});
        EXPECT_TRUE(Error(reply).contains(row.error)) << row.line.substr(0, 60) << ": " << Error(reply).toStdString();
        EXPECT_EQ(ask.Ask({{"cmd", "status"}, {"tag", 7}})["tag"], 7) << "still answered after " << row.line.substr(0, 60);
    }
    for (int i = 0; i < 100; ++i) {
        Link passer = Link::Unix(socket);
        ASSERT_TRUE(passer.fd.Valid()) << i;
        if (i % 2) {
            EXPECT_EQ(passer.Ask({{"cmd", "status"}})["ok"], true);
        }
    }
    Link silent = Link::Unix(socket);
    ASSERT_TRUE(silent.Send("{\"cmd\": \"subscribe\"}\n"));
    EXPECT_EQ(ask.Ask({{"cmd", "start"}})["ok"], true);
    ASSERT_TRUE(p.waitForFinished(180000));
    const std::string out = p.readAllStandardOutput().toStdString();
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const auto results = Events(out, "result");
    EXPECT_EQ(results.size(), 8u);
    for (const QJsonObject& e : results) EXPECT_EQ(e["status"].toInt(), 0) << e["reason"].toString().toStdString();
}

// A TCP listener answers nobody without the token in the first request; a station refuses to open
// one without a token file of its user's own.
TEST(Control, ATcpClientMustGiveTheTokenFirst) {
    Station s;
    const std::string recipe = WriteRecipe(s, 1, 10, {"--loop"});
    const std::string token = s.File("token", "k3Jd9sLq0vX2mT7pYb4R\n");
    ASSERT_EQ(::chmod(token.c_str(), 0600), 0);
    const std::string loose = s.File("loose-token", "k3Jd9sLq0vX2mT7pYb4R\n");
    ASSERT_EQ(::chmod(loose.c_str(), 0644), 0);
    for (const QStringList& refused : {QStringList{"--control", "tcp:127.0.0.1:0"},
                                       QStringList{"--control", "tcp:127.0.0.1:0", "--control-token", Q(loose)},
                                       QStringList{"--hold"}}) {
        const Outcome r = s.Run(QStringList{"recipe", "run", Q(recipe), "--tick-ms", "2"} + refused);
        EXPECT_EQ(r.status, 2) << refused.join(' ').toStdString() << r.err;
    }
    QProcess p;
    p.setReadChannel(QProcess::StandardError);
    s.Start(p, {"recipe", "run", Q(recipe), "--tick-ms", "2", "--control", "tcp:127.0.0.1:0", "--control-token",
                Q(token), "--hold"});
    std::string err;
    int port = 0;
    while (port == 0 && p.waitForReadyRead(60000) ) {
        err += p.readAllStandardError().toStdString();
        if (const size_t at = err.find("listening at tcp:127.0.0.1:"); at != std::string::npos && err.find('\n', at) != std::string::npos)
            port = std::stoi(err.substr(at + 27));
    }
    ASSERT_GT(port, 0) << err;
    const struct {
        const char* name;
        QJsonObject request;
        bool answered;
    } rows[] = {
        {"no token", {{"cmd", "status"}}, false},
        {"a wrong token", {{"cmd", "status"}, {"token", "k3Jd9sLq0vX2mT7pYb4"}}, false},
        {"the token", {{"cmd", "status"}, {"token", "k3Jd9sLq0vX2mT7pYb4R"}}, true},
    };
    for (const auto& row : rows) {
        Link link = Link::Tcp(port);
        const QJsonObject reply = link.Ask(row.request);
        EXPECT_EQ(reply["ok"] == true, row.answered) << row.name;
        if (!row.answered) {
            const auto notice = link.Next();
            EXPECT_TRUE(notice && (*notice)["dropped"] == true) << row.name << ": told it is cut off";
            EXPECT_FALSE(link.Next().has_value()) << row.name << ": cut off";
        } else {
            EXPECT_EQ(link.Ask({{"cmd", "status"}})["held"], true) << row.name << ": asked again without it";
        }
    }
    EXPECT_EQ(s.Run({"control", Q("tcp:127.0.0.1:" + std::to_string(port)), "status", "--control-token", Q(token)}).status, 0);
    p.kill();
    p.waitForFinished();
}

// Another user is refused on the socket, whatever its mode, unless in the socket's group; the
// refusal is logged.
TEST(ControlAsRoot, ASecondUserIsRefusedUnlessInTheSocketsGroup) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can play a second user";
    Station s;
    const std::string recipe = WriteRecipe(s, 1, 10, {"--loop"});
    const std::string socket = s.root / "run/line.sock";
    QProcess p;
    s.Start(p, {"recipe", "run", Q(recipe), "--tick-ms", "2", "--control", Q("unix:" + socket), "--hold"});
    ASSERT_TRUE(Link::Await(socket, p).fd.Valid());
    // The way to the socket opened to everyone, as a careless set-up would: the peer's check still holds.
    for (const std::string& folder : {s.root.Path(), s.root / "run"}) ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    struct stat st {};
    ASSERT_EQ(::stat(socket.c_str(), &st), 0);
    const struct {
        const char* name;
        std::vector<gid_t> groups;
        mode_t mode;
        const char* reply;
    } rows[] = {
        {"nobody, the socket open to all", {}, 0666, "\"error\":\"not allowed"},
        {"nobody in the socket's group", {st.st_gid}, 0660, "\"ok\":true"},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(::chmod(socket.c_str(), row.mode), 0);
        const std::string reply = RunAsUser(kNobody, kNobody, [&] {
            Link link = Link::Unix(socket);
            return link.fd.Valid() ? QJsonDocument(link.Ask({{"cmd", "status"}})).toJson(QJsonDocument::Compact).toStdString()
                                   : "no connection: " + std::string(std::strerror(errno));
        }, row.groups);
        EXPECT_NE(reply.find(row.reply), std::string::npos) << row.name << ": " << reply;
    }
    p.kill();
    p.waitForFinished();
    EXPECT_NE(p.readAllStandardError().toStdString().find("refused user 65534"), std::string::npos);
}

namespace {

// The station window, headless, as the line's software starts it.
void StartWindow(Station& s, QProcess& p, const QStringList& args) {
    s.Start(p, {});
    p.waitForFinished();
    QProcessEnvironment env = p.processEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(Q(s.bin + "/zupflshc"), QStringList{"station"} + args);
    ASSERT_TRUE(p.waitForStarted());
}

QString PortName(const QJsonObject& status, int i) { return status["ports"].toArray()[i].toObject()["name"].toString(); }

}  // namespace

// The window held until `start`: an id reaches its unit's record, one tile paused after its unit
// while the others load theirs, then resumed; status before and after, each port by its tile's name.
TEST(WindowControl, AHeldStationWindowIsDrivenThroughItsSocketOnly) {
    Station s;
    const std::string recipe = WriteRecipe(s, 3, 20, {"--loop", "--count", "3"});
    const std::string socket = s.root / "run/window.sock";
    QProcess p;
    StartWindow(s, p, {Q(recipe), "--tick-ms", "2", "--control", Q("unix:" + socket), "--hold"});
    Link ask = Link::Await(socket, p);
    ASSERT_TRUE(ask.fd.Valid()) << p.readAllStandardError().toStdString();
    const QJsonObject before = ask.Ask({{"cmd", "status"}});
    ASSERT_EQ(before["ports"].toArray().size(), 3) << QJsonDocument(before).toJson().toStdString();
    EXPECT_EQ(before["held"], true);
    EXPECT_EQ(before["totals"].toObject()["loaded"].toInt(), 0);
    const QString first = PortName(before, 0), second = PortName(before, 1), third = PortName(before, 2);
    Link events = Link::Unix(socket);
    EXPECT_EQ(events.Ask({{"cmd", "subscribe"}})["ok"], true);
    for (const QJsonObject& request : {QJsonObject{{"cmd", "unit_id"}, {"port", first}, {"id", "MXR2-10420"}},
                                       QJsonObject{{"cmd", "start"}}, QJsonObject{{"cmd", "pause"}, {"port", second}}})
        EXPECT_EQ(Error(ask.Ask(request)), "(ok)") << request["cmd"].toString().toStdString();

    std::map<QString, int> results;
    bool paused = false;
    const auto seen = [&](const QJsonObject& e) {
        if (e["event"] == "result") results[e["unit"].toString()] += e["status"].toInt() == 0 ? 1 : 100;
        if (e["event"] == "paused") paused = e["unit"] == second;
    };
    ASSERT_TRUE(events.Until([&](const QJsonObject& e) { return seen(e), paused && results[first] == 3 && results[third] == 3; }));
    EXPECT_EQ(results[second], 1) << "the paused port finished its unit and took no other";
    const QJsonObject after = ask.Ask({{"cmd", "status"}});
    EXPECT_EQ(after["totals"].toObject()["loaded"].toInt(), 7);
    EXPECT_EQ(after["totals"].toObject()["first_pass_yield"].toDouble(), 1.0);
    const QJsonObject pausedPort = after["ports"].toArray()[1].toObject();
    EXPECT_EQ(pausedPort["paused"], true);
    EXPECT_EQ(pausedPort["notice"], "paused");
    EXPECT_EQ(after["firmware"].toObject()["sha256"], Q(Sha256Hex(ReadWholeFile(s.root / "fw.h86"))));

    EXPECT_EQ(Error(ask.Ask({{"cmd", "resume"}, {"port", second}})), "(ok)");
    ASSERT_TRUE(events.Until([&](const QJsonObject& e) { return seen(e), results[second] == 3; }));
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(30000));
    const Outcome history = s.Run({"history", "--json", "--record-db", Q(s.root / "line.sqlite")});
    int withId = 0;
    for (const std::string& line : Lines(history.out)) withId += Json(line)["unit_id"] == "MXR2-10420";
    EXPECT_EQ(withId, 1) << history.out;
}

// A window started by its socket: what it refuses, each with its reason, and a stop that would cut
// a unit in half refused until it says "force", without a question on the screen.
TEST(WindowControl, TheWindowRefusesWhatItCannotDoAndStopsOnlyWithForce) {
    Station s;
    const std::string recipe = WriteRecipe(s, 2, 300, {"--loop"}, true);
    const std::string socket = s.root / "run/window.sock";
    QProcess p;
    StartWindow(s, p, {Q(recipe), "--tick-ms", "2", "--control", Q("unix:" + socket)});
    Link events = Link::Await(socket, p);
    ASSERT_TRUE(events.fd.Valid()) << p.readAllStandardError().toStdString();
    ASSERT_EQ(events.Ask({{"cmd", "subscribe"}})["ok"], true);
    ASSERT_TRUE(events.Until([](const QJsonObject& e) { return e["event"] == "block" && e["block"].toInt() >= 5; }, 10000))
        << p.readAllStandardError().toStdString();
    Link ask = Link::Unix(socket);
    const QString port = PortName(ask.Ask({{"cmd", "status"}}), 0);
    const struct {
        QJsonObject request;
        const char* error;
    } rows[] = {
        {{{"cmd", "stop"}}, "half-written"},
        {{{"cmd", "start"}}, "running already"},
        {{{"cmd", "pause"}, {"port", "COM 99"}}, "names no port of this station"},
        {{{"cmd", "resume"}, {"port", port}}, "is not paused"},
        {{{"cmd", "unit_id"}, {"port", port}, {"id", "MXR2\x07"}}, "unit id"},
    };
    for (const auto& row : rows)
        EXPECT_TRUE(Error(ask.Ask(row.request)).contains(row.error))
            << row.error << ": " << Error(ask.Ask(row.request)).toStdString();
    EXPECT_EQ(Error(ask.Ask({{"cmd", "stop"}, {"force", true}})), "(ok)");
    ASSERT_TRUE(events.Until([](const QJsonObject& e) { return e["event"] == "result" && e["result"] == "interrupted"; }));
    QJsonObject status;
    QElapsedTimer clock;
    clock.start();
    do status = ask.Ask({{"cmd", "status"}});
    while (status["running"] != false && clock.elapsed() < 30000);
    EXPECT_EQ(status["running"], false) << "the window is open, its ports stopped";
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(30000));
}

// A port's notice and the station's first-pass yield as its events tell them, the same for both
// stations: a pause after failures and a slow link are said, and unsaid once they are over.
TEST(StationStatus, APortsNoticeAndTheFirstPassYieldFollowItsEvents) {
    const auto result = [](int status, const char* id, double ratio) {
        return QJsonObject{{"event", "result"}, {"status", status}, {"unit_id", id}, {"job", "upload"}, {"wire_ratio", ratio}};
    };
    const QJsonObject pausedAfterThree{{"event", "paused"}, {"failures", 3}}, resumed{{"event", "resumed"}};
    const struct {
        const char* name;
        std::vector<QJsonObject> events;
        QJsonValue notice;
        int units;
        QJsonValue yield;
    } rows[] = {
        {"nothing yet", {}, QJsonValue(), 0, QJsonValue()},
        {"paused after failures", {result(1, "A", 0.97), pausedAfterThree}, "paused: 3 failures in a row: check the socket and the cable", 1, 0.0},
        {"resumed", {pausedAfterThree, resumed}, QJsonValue(), 0, QJsonValue()},
        {"slow link", {result(0, "A", 0.61)}, "slow link: 0.61 of the wire; a USB adapter's latency timer (see `zupflshc ports`)", 1, 1.0},
        {"at the wire again", {result(0, "A", 0.61), result(0, "B", 0.97)}, QJsonValue(), 2, 1.0},
        {"a failed unit back under its id is no new unit", {result(1, "A", 0.97), result(0, "A", 0.97), result(0, "", 0.97)}, QJsonValue(), 2, 0.5},
    };
    for (const auto& row : rows) {
        TStationStatus status;
        for (const QJsonObject& event : row.events) status.Seen(0, event);
        EXPECT_EQ(status.Port(0).value("notice"), row.notice.isNull() ? QJsonValue(QJsonValue::Undefined) : row.notice) << row.name;
        QJsonObject totals;
        status.AddYield(totals);
        EXPECT_EQ(totals["units"].toInt(), row.units) << row.name;
        EXPECT_EQ(totals["first_pass_yield"], row.yield) << row.name;
    }
}
