// The command line as a station: several simulated units on one process, --loop, --wait, an adapter
// pulled out and plugged back in, Ctrl-C across every port, and the words a terminal is given.
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "cli/StationBoard.h"
#include "cli/UnitIdScan.h"
#include "serial/Serial4.h"
#include "support/Firmware.h"
#include "support/SimUnit.h"
#include "support/TempDir.h"
#include "support/CliRun.h"
#include "support/StationRun.h"

namespace fs = std::filesystem;

TEST(Station, SeveralUnitsAtOnceEachWithItsOwnResult) {
    struct Row {
        const char* name;
        std::vector<std::string> second;  // the second unit's switches; "missing": no unit at all
        int status;
        std::string totals;
        // A loop that needs an id for every unit, one scanned for each port: the run ends when
        // standard input does, which is a normal end.
        bool idsThenEnd = false;
    };
    const Row rows[] = {
        {"all three", {}, 0, "3 units loaded, 0 failed"},
        {"one fails", {"--fail-at", "3"}, 1, "2 units loaded, 1 failed"},
        {"one not there", {"missing"}, 3, "2 units loaded, 0 failed, 1 port did not open"},
        {"all three, until the ids end", {}, 0, "3 units loaded, 0 failed", true},
        {"one fails, until the ids end", {"--fail-at", "3"}, 1, "2 units loaded, 1 failed", true},
    };
    const TestFirmware fw = TestFirmware::Make(40, 7);
    for (const Row& row : rows) {
        Station s;
        for (int i : {1, 3}) s.Unit(i);
        std::vector<std::string> second = row.second;
        second.insert(second.end(), {"--restart-ms", "100"});
        if (row.second.empty() || row.second[0] != "missing") s.Unit(2, second);
        QStringList args = QStringList{"upload", Q(s.File("fw.h86", fw.hex)), "--tick-ms", "2", "--capture"} +
                           s.Devices(3);
        if (row.idsThenEnd) args += {"--loop", "--scan", "--require-unit-id"};
        QProcess p;
        s.Start(p, args);
        if (row.idsThenEnd) p.write(Q(s.Device(1) + " A\n" + s.Device(2) + " B\n" + s.Device(3) + " C\n").toUtf8());
        p.closeWriteChannel();
        ASSERT_TRUE(p.waitForFinished(30000)) << row.name;
        const Outcome r{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                        p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString()};
        EXPECT_EQ(r.status, row.status) << row.name << "\n" << r.out << r.err;
        const auto lines = Lines(r.out);
        ASSERT_FALSE(lines.empty()) << row.name;
        EXPECT_EQ(lines.back(), row.totals) << row.name;
        for (int i : {1, 3}) {
            EXPECT_TRUE(s.units[static_cast<size_t>(i - 1)]->Flash() == fw.image) << row.name << " unit " << i;
            EXPECT_TRUE(fs::exists(s.bin + "/Capture-COM" + std::to_string(i) + ".txt")) << row.name;
            const std::string end = row.idsThenEnd ? ": ended waiting for a unit id (1 loaded, 0 failed)\n" : ": success\n";
            EXPECT_NE(r.out.find("  " + s.Device(i) + end), std::string::npos) << row.name << "\n" << r.out;
        }
        // Every line before the summary names its unit (or the one preparation).
        for (const std::string& line : lines) {
            if (line == "Summary:") break;
            EXPECT_TRUE(line.rfind("prepare: ", 0) == 0 || line.rfind(s.Device(1) + ": ", 0) == 0 ||
                        line.rfind(s.Device(2) + ": ", 0) == 0 || line.rfind(s.Device(3) + ": ", 0) == 0)
                << row.name << ": " << line;
        }
        if (row.status == 1 && !row.idsThenEnd) {
            EXPECT_NE(r.out.find("  " + s.Device(2) + ": failed: "), std::string::npos) << r.out;
        }
        // The file was prepared once, by one engine, in memory: nothing is written beside it.
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "prepare: Blocks: 40"), 1) << r.out;
        EXPECT_FALSE(fs::exists(s.root / "fw.ZUP") || fs::exists(s.root / "fw.BIN")) << row.name;
    }
}

// A worn socket on the command line: the port pauses after three failures in a row while the others
// go on, and a "PORT resume" line on the scanner's input sends it on.
TEST(Station, APortThatKeepsFailingPausesUntilAScannedResume) {
    Station s;
    for (int i : {1, 3}) s.Unit(i);
    s.Unit(2, {"--fail-at", "2", "--fail-every-unit", "--restart-ms", "100"});
    const TestFirmware fw = TestFirmware::Make(20, 3);
    QProcess p;
    s.Start(p, QStringList{"upload", Q(s.File("fw.h86", fw.hex)), "--json", "--tick-ms", "2", "--loop", "--count", "4",
                           "--scan"} +
                   s.Devices(3));
    const QString second = Q(s.Device(2));
    std::map<QString, int> results;
    bool paused = false;
    auto count = [&](const QJsonObject& e) {
        if (e["event"] == "result") results[e["unit"].toString()] += 1;
        if (e["event"] == "paused" && e["unit"] == second) paused = e["failures"].toInt() == 3;
    };
    std::string out = ReadEvents(p, [&](const QJsonObject& e) { return count(e), paused; }, 60000);
    ASSERT_TRUE(paused) << out;
    EXPECT_EQ(results[second], 3);
    out += ReadEvents(p, [&](const QJsonObject& e) {
        count(e);
        return results[Q(s.Device(1))] == 4 && results[Q(s.Device(3))] == 4;
    }, 60000);
    EXPECT_EQ(results[second], 3) << "a paused port wakes nobody\n" << out;
    p.write("2 resume\n");
    out += ReadEvents(p, [&](const QJsonObject& e) { return count(e), results[second] == 4; }, 60000);
    EXPECT_EQ(results[second], 4) << out;
    EXPECT_NE(out.find("\"event\":\"resumed\""), std::string::npos) << out;
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 1);
}

// The second port's first unit fails: each result still says its own unit's status, the last one
// too, while the run's status is the worst.
TEST(Station, LoopCountThreeOnTwoPortsLoadsSixUnits) {
    Station s;
    s.Unit(1);
    s.Unit(2, {"--restart-ms", "100", "--power-cycle-after", "100", "--verify-wait", "0", "--fail-at", "3"});
    const TestFirmware fw = TestFirmware::Make(20, 3);
    const Outcome r = s.Run(QStringList{"upload", Q(s.File("fw.h86", fw.hex)), "--json", "--tick-ms", "2", "--loop",
                                        "--count", "3"} +
                            s.Devices(2));
    EXPECT_EQ(r.status, 1) << r.err;
    std::map<std::string, std::vector<int>> perUnit;
    for (const QJsonObject& e : Events(r.out, "result")) {
        EXPECT_EQ(e["status"].toInt() == 0, e["result"] == "success") << QJsonDocument(e).toJson().toStdString();
        perUnit[e["unit"].toString().toStdString()].push_back(e["status"].toInt());
    }
    EXPECT_EQ(perUnit, (std::map<std::string, std::vector<int>>{{s.Device(1), {0, 0, 0}}, {s.Device(2), {1, 0, 0}}}));
    const QRegularExpression iso(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)");
    for (const std::string& line : Lines(r.out))
        EXPECT_TRUE(Json(line).contains("unit") && iso.match(Json(line)["time"].toString()).hasMatch()) << line;
    const auto summary = Events(r.out, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["loaded"].toInt(), 5);
    EXPECT_EQ(std::stoi(s.units[0]->Report()["uploads"]), 3) << "the unit saw three uploads";
}

// A record nothing can keep (the record and its journal both in the way) ends its port in a loop
// before the next unit is woken: nobody at a command line answers for units going unrecorded.
TEST(Station, ARecordNothingCanKeepEndsItsPortInALoop) {
    Station s;
    s.Unit(1);
    s.Unit(2);
    fs::create_directories(s.bin + "/history.sqlite");
    fs::create_directories(s.bin + "/history.sqlite.jsonl");
    const TestFirmware fw = TestFirmware::Make(10, 2);
    const Outcome r =
        s.Run(QStringList{"upload", Q(s.File("fw.h86", fw.hex)), "--json", "--tick-ms", "2", "--loop"} + s.Devices(2));
    EXPECT_EQ(r.status, 4) << r.err;
    const auto ends = Events(r.out, "port_end");
    ASSERT_EQ(ends.size(), 2u) << r.out;
    for (const QJsonObject& e : ends) {
        EXPECT_EQ(e["why"].toString().toStdString(), "record_not_kept");
        EXPECT_EQ(e["reason"].toString().toStdString(), "record not kept: is a directory");
        EXPECT_EQ(e["status"].toInt(), 4);
    }
    EXPECT_EQ(Events(r.out, "result").size(), 2u) << r.out;
    for (int i : {0, 1}) EXPECT_EQ(s.units[static_cast<size_t>(i)]->Report()["uploads"], "1");
}

// A simulated line's boards are taken out once done: after the verification's last answer, not at
// a fixed time after the restart that would cut the verification off.
TEST(Station, UnitsThatSwitchThemselvesOffAreVerifiedFourInARow) {
    Station s;
    s.Unit(1, {"--restart-ms", "100", "--power-cycle-after", "100"});
    const TestFirmware fw = TestFirmware::Make(20, 5);
    // At 10 ms a tick the version is asked 0.9 s after THANK YOU: 0.7 s after the unit's power-cycle-after.
    const Outcome r = s.Run(QStringList{"upload", Q(s.File("fw.h86", fw.hex)), "--json", "--tick-ms", "10", "--loop",
                                        "--count", "4", "--verify"} +
                            s.Devices(1));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    int verified = 0;
    for (const QJsonObject& e : Events(r.out, "result"))
        if (e["job"].toString() == "upload") verified += e["kind"].toString() == "verified";
    EXPECT_EQ(verified, 4) << r.out;
    EXPECT_EQ(s.units[0]->Report()["uploads"], "4");
}

TEST(Station, AnAdapterPulledOutInALoopIsWaitedForAndTheOthersGoOn) {
    Station s;
    s.Unit(1);
    s.Unit(2);
    const TestFirmware fw = TestFirmware::Make(20, 5);
    QProcess p;
    s.Start(p, QStringList{"upload", Q(s.File("fw.h86", fw.hex)), "--json", "--tick-ms", "2", "--loop", "--count",
                           "2"} +
                   s.Devices(2));
    const std::string one = Q(s.Device(1)).toStdString();
    std::string out = ReadEvents(p, [&](const QJsonObject& e) { return e["event"] == "result" && e["unit"] == Q(one); }, 30000);
    s.units[0]->Stop();  // the adapter goes
    out += ReadEvents(p, [](const QJsonObject& e) { return e["text"].toString().contains("is gone"); }, 30000);
    ASSERT_NE(out.find("is gone: waiting for it to come back"), std::string::npos) << out;
    s.Unit(1);  // and comes back at the same path
    ASSERT_TRUE(p.waitForFinished(60000));
    out += p.readAllStandardOutput().toStdString();
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_EQ(Events(out, "summary").at(0)["loaded"].toInt(), 4) << out;
    EXPECT_TRUE(s.units[0]->Flash() == fw.image);
}

// In a loop a unit counts once it answered the wake-up: an idle line that only sends noise and a
// usb: adapter that is not attached are ports still waiting, not units that failed, and the stop
// that ends them counts nothing either; the other port loads its unit meanwhile.
TEST(Station, NoiseAndAMissingAdapterAreNoUnitsInALoop) {
    Station s;
    s.Unit(1, {"--idle-noise", "1", "--wake-after", "1000000"});
    s.Unit(2, {"--restart-ms", "100"});  // loaded once, then not switched off and on again
    const QString one = Q(s.Device(1)), two = Q(s.Device(2));
    QProcess p;
    s.Start(p, QStringList{"upload", Q(s.File("fw.h86", TestFirmware::Make(10, 3).hex)), "--json", "--tick-ms", "2",
                           "--loop", "--record-db", Q(s.root / "line.sqlite")} +
                   s.Devices(2) + QStringList{"--device", "usb:NOPE123"});
    int wakeUpsRunOut = 0;
    bool loaded = false;
    std::string out = ReadEvents(p, [&](const QJsonObject& e) {
        if (e["event"] == "stage" && e["stage"] == "ending" && e["unit"] == one) ++wakeUpsRunOut;
        if (e["event"] == "result" && e["unit"] == two) loaded = e["status"].toInt() == 0;
        return wakeUpsRunOut >= 2 && loaded;
    }, 60000);
    ASSERT_TRUE(wakeUpsRunOut >= 2 && loaded) << out;
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(10000));
    out += p.readAllStandardOutput().toStdString();
    EXPECT_EQ(p.exitCode(), 130);
    std::map<QString, int> results;
    for (const QJsonObject& e : Events(out, "result")) results[e["unit"].toString()] += 1;
    EXPECT_EQ(results[two], 2) << "the unit loaded, then the stop while waiting for the next";
    EXPECT_EQ(results[one], 1) << "only the stop: the noise was no unit";
    EXPECT_EQ(results["usb:NOPE123"], 1) << "only the stop: the missing adapter was no unit";
    const QJsonObject summary = Events(out, "summary").at(0);
    EXPECT_EQ(summary["loaded"].toInt(), 1) << out;
    EXPECT_EQ(summary["failed"].toInt(), 0) << out;
    EXPECT_EQ(summary["ports_not_open"].toInt(), 0) << out;
}

TEST(Station, InterruptStopsEveryPortAtOnceAndReleasesThem) {
    Station s;
    for (int i = 1; i <= 3; ++i) s.Unit(i, {"--pace"});
    QProcess p;
    s.Start(p, QStringList{"upload", Q(s.File("fw.h86", TestFirmware::Make(300).hex)), "--json", "--tick-ms", "2"} +
                   s.Devices(3));
    std::set<QString> sending;
    std::string out = ReadEvents(p, [&](const QJsonObject& e) {
        if (e["event"] == "block") sending.insert(e["unit"].toString());
        return sending.size() == 3;
    }, 30000);
    ASSERT_EQ(sending.size(), 3u) << out;
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 130);
    out += p.readAllStandardOutput().toStdString();
    const auto results = Events(out, "result");
    ASSERT_EQ(results.size(), 3u) << out;
    for (const QJsonObject& e : results)
        EXPECT_TRUE(e["reason"].toString().startsWith("stopped at block ")) << e["reason"].toString().toStdString();
    for (int i = 1; i <= 3; ++i) {
        TSerial again;
        again.SetDevicePath(s.Device(i));
        again.SetActive(true);
        EXPECT_TRUE(again.Active()) << again.ErrorText();
    }
    EXPECT_EQ(Events(out, "summary").size(), 1u);
}

TEST(Station, FactoryJobOnTwoPortsWithYes) {
    Station s;
    s.Unit(1, {});
    s.Unit(2, {});
    const Outcome r = s.Run(QStringList{"factory", "--yes", "--tick-ms", "20"} + s.Devices(2), 90000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Lines(r.out).back(), "2 units loaded, 0 failed") << r.out;
    for (auto& unit : s.units) EXPECT_EQ(unit->Report()["factory"], "1");
}

// The window's buttons mean nothing at a terminal: whole jobs on one port name none of them.
TEST(Station, NoWindowButtonIsNamedAtATerminal) {
    const QRegularExpression button("<(Start Upload|Proceed|Go [Bb]ack to Start|Close)>");
    Station s;
    s.Unit(1);
    const std::string fw = s.File("fw.h86", TestFirmware::Make(2100, 4).hex);
    for (const QStringList& job : {QStringList{"upload", Q(fw)}, QStringList{"factory", "--yes"}}) {
        s.Unit(1, job[0] == "factory" ? std::vector<std::string>{} : std::vector<std::string>{"--restart-ms", "100"});
        const Outcome r = s.Run(job + QStringList{"--tick-ms", "5", "--device", Q(s.Device(1))}, 120000);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_FALSE(button.match(Q(r.out + r.err)).hasMatch()) << r.out;
    }
}

TEST(Station, WaitForAPortNotThereYet) {
    const TestFirmware fw = TestFirmware::Make(10, 2);
    {
        Station s;
        QProcess p;
        s.Start(p, {"upload", Q(s.File("fw.h86", fw.hex)), "--tick-ms", "2", "--wait", "10", "--device", Q(s.Device(1))});
        // The adapter is plugged in two seconds after the start: that is the scenario, not a wait.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        s.Unit(1);
        ASSERT_TRUE(p.waitForFinished(30000));
        const std::string out = p.readAllStandardOutput().toStdString();
        EXPECT_EQ(p.exitCode(), 0) << out << p.readAllStandardError().toStdString();
        EXPECT_EQ(Lines(out).front(), "waiting up to 10 s for " + s.Device(1));
    }
    Station s;
    QElapsedTimer clock;
    clock.start();
    const Outcome r = s.Run({"upload", Q(s.File("fw.h86", fw.hex)), "--wait", "1", "--device", Q(s.Device(1))});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_GE(clock.elapsed(), 1000);
    EXPECT_LT(clock.elapsed(), 20000);
}

TEST(Station, BadStationUsageIsOneLineAndStatusTwo) {
    Station s;
    const QString fw = Q(s.File("fw.h86", TestFirmware::Make(2).hex));
    fs::create_symlink("/dev/null", s.bin + "/COM1");
    const QString com1 = Q(s.bin + "/COM1");
    struct Row {
        QStringList args;
        std::string says;
    };
    const Row rows[] = {
        {{"upload", fw, "--device", "/dev/null", "--device", "/dev/null"}, "--device /dev/null is given twice"},
        {{"upload", fw, "--port", "1", "--port", "1"}, "--port 1 is given twice"},
        {{"upload", fw, "--port", "1", "--device", com1}, "are the same device"},
        {{"upload", fw, "--loop", "--count", "0"}, "--count must be"},
        {{"upload", fw, "--count", "2"}, "--count needs --loop"},
        {{"upload", fw, "--devcie", "x"}, "unknown option '--devcie' (see zupflshc --help)"},
        {{"upload", Q(s.File("notes.txt", "x"))}, "Unexpected file extension (TXT) of"},
        {{"upload", fw, "--port", "1", "--port", "2", "--unit-id", "4711"}, "--unit-id names one unit"},
        {{"upload", fw, "--loop", "--unit-id", "4711"}, "--unit-id names one unit"},
        {{"upload", fw, "--scan"}, "--scan gives ids to several units"},
        {{"upload", fw, "--loop", "--require-unit-id"}, "--require-unit-id needs the ids"},
        {{"upload", fw, "--expect-version", " "}, "--expect-version needs the version"},
    };
    for (const Row& row : rows) {
        const Outcome r = s.Run(row.args);
        const std::string label = row.args.join(' ').toStdString();
        EXPECT_EQ(r.status, 2) << label;
        EXPECT_EQ(r.out, "") << label;
        EXPECT_EQ(Lines(r.err).size(), 1u) << label << ": " << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << label << ": " << r.err;
    }
}

// An 80-column terminal holds each unit's line whole: the bar goes first, then the rate, then what
// the unit is doing; the blocks, the time left and the tally stay, and no line wraps (which would
// throw the redraw out).
// A scanner line names its port by position, COM n, the device as given or any path leading to it;
// a bare number that is one port's position and another's COM n is refused, as is a line naming
// none, which lists the names each port takes.
TEST(UnitIdScan, EveryFormOfAPortsNameAndTheLinesNamingNone) {
    TempDir dir;
    const std::string usb = dir / "ttyUSB0", serial = dir / "ttyS1";
    std::ofstream(usb).put('\n');
    std::ofstream(serial).put('\n');
    fs::create_directories(dir / "by-path");
    fs::create_symlink("../ttyUSB0", dir / "by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0");
    fs::create_symlink(serial, dir / "COM2");
    fs::create_symlink(serial, dir / "usb-FTDI_FT232R_A1-if00-port0");
    // Port 1 is COM 2, port 2 a device, port 3 COM 1.
    TUnitIdScan scan({{2, {"COM 2", "", ""}, nullptr, dir / "COM2"},
                      {0, {usb, "ttyUSB0", usb}, nullptr, usb},
                      {1, {"COM 1", "", ""}, nullptr, dir / "COM1"}},
                     [](int, const std::string&) {});
    struct Row {
        std::string line;
        int port;                // -1: refused
        std::string refusal;     // a part of the refusal
    } rows[] = {
        {"#1 A", 0, ""},
        {"3 A", 2, ""},  // the third port, and no port is COM 3
        {"COM1 A", 2, ""},
        {"com 2\tA", 0, ""},
        {"COM 2 A", 0, ""},
        {"ttyUSB0 A", 1, ""},
        {usb + " A", 1, ""},
        {dir / "by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0 A", 1, ""},
        {dir / "usb-FTDI_FT232R_A1-if00-port0 A", 0, ""},  // leads where COM 2's entry leads
        {"1 A", -1, "'1' is both port 1 of this station (COM 2) and COM 1 (port 3): the line must say '#1'"},
        {"2 A", -1, "'2' is both port 2"},
        {"4 A", -1, "'4 A' names no port of this station"},
        {"#4 A", -1, "names no port"},
        {"COM9 A", -1, "(1 or COM 2, 2 or " + usb + ", 3 or COM 1)"},
        {dir / "by-path/nothing A", -1, "names no port"},
        {"99999 A", -1, "names no port"},
        {"A", -1, "names no port"},
    };
    for (const Row& row : rows) {
        const TUnitIdScan::TNamed named = scan.Named(row.line);
        EXPECT_EQ(named.Port, row.port) << row.line << ": " << named.Refusal;
        if (row.port >= 0) EXPECT_EQ(row.line.substr(row.line.find_first_not_of(" \t", named.IdStart)), "A") << row.line;
        else EXPECT_NE(named.Refusal.find(row.refusal), std::string::npos) << row.line << ": " << named.Refusal;
    }
}

TEST(StationBoard, EachLineFitsTheTerminalDroppingTheBarThenTheRate) {
    TStationRow row{"/dev/ttyUSB0", "Sending blocks", "", "11 loaded, 1 failed", TBlockProgress{123, 2000, 10}};
    struct {
        int width;
        bool bar, rate, doing;
    } rows[] = {{200, true, true, true}, {100, false, true, true}, {80, false, false, false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.width);
        const std::string line = StationLine(row, row.Name.size(), 14, r.width);
        EXPECT_LT(static_cast<int>(line.size()), r.width) << line;
        EXPECT_EQ(line.find("[#-") != std::string::npos, r.bar) << line;
        EXPECT_EQ(line.find("12.3 blocks/s, ") != std::string::npos, r.rate) << line;
        EXPECT_EQ(line.find("Sending blocks") != std::string::npos, r.doing) << line;
        for (const char* kept : {"/dev/ttyUSB0 ", "Block 123 of 2000   6%", "2:33 left", "[11 loaded, 1 failed]"})
            EXPECT_NE(line.find(kept), std::string::npos) << kept << " in " << line;
    }
    // A name too long for the terminal: the line is cut rather than wrapped.
    row.Name = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    EXPECT_EQ(StationLine(row, row.Name.size(), 14, 80).size(), 79u);
}
