// Every command-line job leaves its row in the production record, and a record that cannot be kept
// never costs the job: the built program against the simulated unit.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <set>
#include <sys/stat.h>
#include <sstream>

#include "base/Sha256.h"
#include "support/CliRun.h"
#include "support/Firmware.h"
#include "support/SimUnit.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> CsvLines(const std::string& out) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t end; (end = out.find("\r\n", from)) != std::string::npos; from = end + 2)
        lines.push_back(out.substr(from, end - from));
    return lines;
}

TEST(CommandLineRecord, EveryJobIsARowNewestFirst) {
    Cli cli;
    const TestFirmware fw = TestFirmware::Make(8, 6);
    const std::string file = cli.File("fw.h86", fw.hex);
    {
        SimUnit sim(cli.bin, 1);
        ASSERT_EQ(cli.Run({"upload", Q(file), "--unit-id", "4711"}).status, 0);
        ASSERT_EQ(cli.Run({"upload", Q(file), "--port", "2", "--tick-ms", "2"}).status, 3);
    }
    const Outcome h = cli.Run({"history", "--csv"});
    ASSERT_EQ(h.status, 0) << h.err;
    const auto lines = CsvLines(h.out);
    ASSERT_EQ(lines.size(), 3u) << h.out;  // the header and two jobs
    EXPECT_NE(lines[1].find("port_failed"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(",sent,"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("4711"), std::string::npos);
    EXPECT_NE(lines[2].find(Sha256Hex(fw.hex)), std::string::npos);
    const Outcome byUnit = cli.Run({"history", "--csv", "--unit", "4711"});
    EXPECT_EQ(CsvLines(byUnit.out).size(), 2u) << byUnit.out;
}

// The default record in the way (a folder, a file that is not a database): the upload ends as it
// would, its record goes to the journal beside the file, and the next job that can write the file
// brings it in. Only when the journal cannot take it either is the unit "loaded, but not recorded".
TEST(CommandLineRecord, ARecordThatCannotBeKeptNeverCostsTheUpload) {
    const struct {
        const char* what;
        bool journalBlocked;
        int status;
        const char* says;
    } rows[] = {{"folder", false, 0, "it was kept in the journal"},
                {"garbage", false, 0, "it was kept in the journal"},
                {"fifo", false, 0, "it was kept in the journal"},
                {"folder and journal folder", true, 4, "the record was not kept"}};
    for (const auto& row : rows) {
        Cli cli;
        const TestFirmware fw = TestFirmware::Make(5, 2);
        const std::string path = cli.File("fw.h86", fw.hex);
        const std::string db = cli.bin + "/history.sqlite";
        if (std::string(row.what) == "garbage") WriteWholeFile(db, std::string(4096, 'x'));
        else if (std::string(row.what) == "fifo") ASSERT_EQ(::mkfifo(db.c_str(), 0600), 0);
        else fs::create_directories(db);
        if (row.journalBlocked) fs::create_directories(db + ".jsonl");
        SimUnit sim(cli.bin, 1);
        const Outcome r = cli.Run({"upload", Q(path), "--unit-id", "J1"});
        EXPECT_EQ(r.status, row.status) << row.what << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << row.what << ": " << r.err;
        EXPECT_TRUE(FlashHolds(sim, fw.image)) << row.what;
        if (row.journalBlocked) continue;
        // The file mended: the next job's record brings the journal's in with it, once.
        fs::remove_all(db);
        sim.PowerCycle();  // the next unit
        ASSERT_EQ(cli.Run({"upload", Q(path), "--unit-id", "J2"}).status, 0);
        const Outcome h = cli.Run({"history", "--csv"});
        EXPECT_EQ(CsvLines(h.out).size(), 3u) << row.what << h.out << h.err;
        EXPECT_EQ(fs::file_size(db + ".jsonl"), 0u) << row.what;
    }
}

// The window's and the command line's records keep the input file where it was, wherever the
// program was started from; `history` only reads, leaving nothing beside the record.
TEST(CommandLineRecord, HistoryOnlyReads) {
    Cli cli;
    const std::string file = cli.File("fw.h86", TestFirmware::Make(5, 2).hex);
    {
        SimUnit sim(cli.bin, 1);
        ASSERT_EQ(cli.Run({"upload", Q(file)}).status, 0);
    }
    const std::string db = cli.bin + "/history.sqlite";
    ASSERT_TRUE(fs::exists(db));
    EXPECT_FALSE(fs::exists(db + "-wal") || fs::exists(db + "-shm"));
    for (const char* format : {"--csv", "--summary", "--json"}) {
        const Outcome h = cli.Run({"history", format});
        EXPECT_EQ(h.status, 0) << h.err;
        EXPECT_FALSE(fs::exists(db + "-wal") || fs::exists(db + "-shm")) << format;
    }
}

// A line's server that is down when the job starts costs the job nothing: the record waits in the
// station's file, and the station and that file's summary say so.
TEST(CommandLineRecord, AServerThatIsDownNeverStopsTheJob) {
    Cli cli;
    const std::string file = cli.File("fw.h86", TestFirmware::Make(5, 2).hex);
    fs::create_directories(cli.root / "nosocket");
    {
        SimUnit sim(cli.bin, 1);
        const Outcome r = cli.Run({"upload", Q(file), "--record-db", Q("postgresql://line@/mxr2?host=" + (cli.root / "nosocket"))});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("to be forwarded"), std::string::npos) << r.err;
        // The hint is the command that forwards them: the server's address (no password) as given.
        const std::string sync = "(zupflshc history --sync --record-db 'postgresql://line@/mxr2?host=" +
                                 (cli.root / "nosocket") + "')";
        EXPECT_NE(r.err.find("1 record waits to be forwarded to the record server " + sync), std::string::npos)
            << r.err;
    }
    const Outcome summary = cli.Run({"history", "--summary"});
    EXPECT_NE(summary.out.find("1 record here is not yet forwarded"), std::string::npos) << summary.out;
}

// A unit's record is on the station's disk before its result is told, whatever the server does: a
// server that accepts the connection and never answers, and the program killed (SIGKILL) the moment
// the result is out. The result names the record it was kept under.
TEST(CommandLineRecord, TheRecordIsOnDiskBeforeTheResultIsTold) {
    Cli cli;
    const std::string file = cli.File("fw.h86", TestFirmware::Make(5, 2).hex);
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 16), 0);  // connections complete, and are never answered
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size), 0);
    SimUnit sim(cli.bin, 1);
    QProcess run;
    cli.Start(run, {"upload", Q(file), "--json", "--unit-id", "K1", "--record-db",
                    QString("postgresql://line@127.0.0.1:%1/mxr").arg(ntohs(at.sin_port))});
    QByteArray out;
    while (!out.contains("\"event\":\"result\"") && run.state() == QProcess::Running) {
        run.waitForReadyRead(1000);
        out += run.readAllStandardOutput();
    }
    ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
    ASSERT_TRUE(run.waitForFinished(10000));
    ::close(listener);
    QJsonObject result;
    for (const QByteArray& line : out.split('\n'))
        if (line.contains("\"event\":\"result\"")) result = QJsonDocument::fromJson(line).object();
    ASSERT_EQ(result["kind"].toString(), "sent") << out.toStdString();
    const Outcome h = cli.Run({"history", "--json"});
    ASSERT_EQ(h.status, 0) << h.err;
    const QJsonObject row = QJsonDocument::fromJson(QByteArray::fromStdString(h.out)).object();
    EXPECT_EQ(row["unit_id"].toString(), "K1") << h.out;
    EXPECT_FALSE(result["record_id"].toString().isEmpty());
    EXPECT_EQ(row["record_id"].toString(), result["record_id"].toString()) << out.toStdString();
    const Outcome summary = cli.Run({"history", "--summary"});
    EXPECT_NE(summary.out.find("1 record here is not yet forwarded"), std::string::npos) << summary.out;
}

// history --follow on a station's file prints what another process records, as it is kept.
TEST(CommandLineRecord, FollowPrintsEachNewRecord) {
    Cli cli;
    const std::string file = cli.File("fw.h86", TestFirmware::Make(5, 2).hex);
    ASSERT_EQ(cli.Run({"upload", Q(file), "--port", "2", "--tick-ms", "2"}).status, 3);  // the file exists
    QProcess follow;
    cli.Start(follow, {"history", "--follow", "--json"});
    QByteArray out;
    // Jobs until the follower, once it has read where the record stands, has printed one.
    for (int n = 0; n < 100 && !out.contains("\"unit_id\":\"F"); ++n) {
        ASSERT_EQ(cli.Run({"upload", Q(file), "--port", "2", "--tick-ms", "2", "--unit-id", "F" + QString::number(n)}).status, 3);
        follow.waitForReadyRead(1000);
        out += follow.readAllStandardOutput();
    }
    EXPECT_TRUE(out.contains("\"result\":\"port_failed\"")) << out.toStdString();
    follow.terminate();
    ASSERT_TRUE(follow.waitForFinished(10000));
    EXPECT_EQ(follow.exitCode(), 0) << follow.readAllStandardError().toStdString();
}

// A record database the operator named, that cannot be used, stops the command before the unit.
TEST(CommandLineRecord, ANamedRecordThatCannotBeOpenedRefusesBeforeTheUnit) {
    Cli cli;
    const std::string path = cli.File("fw.h86", TestFirmware::Make(5, 2).hex);
    fs::create_directories(cli.root / "db-folder");
    SimUnit sim(cli.bin, 1);
    const Outcome r = cli.Run({"upload", Q(path), "--record-db", Q(cli.root / "db-folder")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(sim.Report()["blocks"], "0");
    EXPECT_FALSE(fs::exists(cli.root / "fw.ZUP"));
}

}  // namespace

namespace {

// The units of one station run are recorded each, under one run id of their own.
TEST(CommandLineRecord, TheUnitsOfOneRunShareItsId) {
    Cli cli;
    const std::string file = cli.File("fw.h86", TestFirmware::Make(6, 3).hex);
    {
        SimUnit one(cli.bin, 1), two(cli.bin, 2);
        const Outcome r = cli.Run({"upload", Q(file), "--port", "1", "--port", "2"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    const Outcome h = cli.Run({"history", "--json"});
    ASSERT_EQ(h.status, 0) << h.err;
    std::set<std::string> runs, devices;
    std::istringstream in(h.out);
    for (std::string line; std::getline(in, line);) {
        const QJsonObject row = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        runs.insert(row["run_id"].toString().toStdString());
        devices.insert(row["com_port"].toVariant().toString().toStdString() + row["device"].toString().toStdString());
        EXPECT_EQ(row["result"].toString().toStdString(), "sent") << line;
    }
    EXPECT_EQ(devices.size(), 2u) << h.out;
    ASSERT_EQ(runs.size(), 1u) << h.out;
    EXPECT_FALSE(runs.begin()->empty());
}

}  // namespace
