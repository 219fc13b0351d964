// The command line end to end: the built program run as a process without a display, against the
// simulated unit on a pseudo-terminal.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "cli/CommandLineOptions.h"
#include "host/Ports.h"
#include "engine/JobResult.h"
#include "serial/Serial4.h"
#include "serial/serial_posix.h"
#include "support/Firmware.h"
#include "support/Pty.h"
#include "support/SimUnit.h"
#include "support/TempDir.h"
#include "support/CliRun.h"

namespace fs = std::filesystem;

namespace {


// Every line of a --json run is an object with an event, the last one the result; the blocks
// count up to the whole file.
QJsonObject JsonResult(const std::string& out) {
    QJsonObject last;
    int block = 0;
    for (const std::string& line : Lines(out)) {
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
        EXPECT_TRUE(doc.isObject() && doc.object().contains("event")) << line;
        last = doc.object();
        if (last["event"] == "block") {
            EXPECT_EQ(last["block"].toInt(), block + 1) << line;
            block = last["block"].toInt();
        }
    }
    EXPECT_EQ(last["event"].toString().toStdString(), "result");
    return last;
}

// The progress lines of a plain run through a pipe: at most one per tenth, the last at the end.
void ExpectPipedProgress(const std::string& out, int blocks) {
    std::vector<std::string> progress;
    for (const std::string& l : Lines(out))
        if (l.rfind("Block ", 0) == 0) progress.push_back(l);
    ASSERT_FALSE(progress.empty()) << out;
    EXPECT_LE(progress.size(), 10u);
    const std::string end = "Block " + std::to_string(blocks) + " of " + std::to_string(blocks) + " 100% [";
    EXPECT_EQ(progress.back().rfind(end, 0), 0u) << progress.back();
    EXPECT_EQ(out.find('\r'), std::string::npos);
}

std::set<std::string> Snapshot(const std::string& folder) {
    std::set<std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        entries.insert(e.path().string() + (e.is_regular_file() ? ":" + std::to_string(e.file_size()) : ""));
    return entries;
}

}  // namespace

TEST(CommandLine, UploadsEachFileTypeOverACommPortOrADevice) {
    const TestFirmware fw = TestFirmware::Make(30, 5);
    const std::string used = fw.image.substr(0, fw.image.find_last_not_of('\xFF') + 1);
    struct Row {
        std::string name, content;
        bool device;
    };
    for (const Row& row : {Row{"a.h86", fw.hex, false}, Row{"b.bin", used, true}, Row{"c.zup", "", false}}) {
        Cli cli;
        SimUnit sim(cli.bin, 1, {"--restart-ms", "100"});
        std::string file = cli.File(row.name, row.content);
        if (row.content.empty()) {  // the upload block file of the HEX file, made by prepare
            ASSERT_EQ(cli.Run({"prepare", Q(cli.File("src.h86", fw.hex))}).status, 0);
            fs::rename(cli.root / "src.ZUP", file);
        }
        const std::string pts = fs::read_symlink(sim.LinkPath()).string();
        QStringList args = {"upload", Q(file), "--tick-ms", "2"};
        args += row.device ? QStringList{"--device", Q(pts)} : QStringList{"--port", "1"};
        const Outcome r = cli.Run(args);
        ASSERT_EQ(r.status, 0) << row.name << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find("Port is open on " + (row.device ? pts : "Com 1") + " at 38400 baud\n"), std::string::npos);
        EXPECT_NE(r.out.find("Software Upload complete\n"), std::string::npos);
        ExpectPipedProgress(r.out, 30);
        EXPECT_TRUE(sim.Flash() == fw.image) << row.name;
        // What the window remembers is left alone.
        EXPECT_FALSE(fs::exists(cli.bin + "/commsUP.txt"));
        EXPECT_TRUE(fs::is_empty(cli.home));
    }
}

TEST(CommandLine, TwoThousandBlocksAreVerifiedAndEveryFailureHasItsStatusAndReason) {
    const std::string small = TestFirmware::Make(6, 9).image;
    const TestFirmware big = TestFirmware::Make(2000, 3);
    std::string badHex = TestFirmware::Make(2).hex;
    badHex.replace(badHex.find(":10") + 12, 2, "G1");
    struct Row {
        std::string name;
        const std::string* content;
        std::vector<std::string> sim;
        int status;
        std::string reason;
        std::string warning = {};  // a part of one of the result's warnings
    };
    const Row rows[] = {
        {"fw.bin", &big.image, {}, 0, "verified, checksum " + big.Checksum()},
        {"fw.bin", &small, {"--erase-error"}, 0, "blocks sent", "BLOCK"},
        {"fw.bin", &small, {"--resend-forever", "2"}, 1, "again 11 times"},
        {"fw.bin", &small, {"--mute-at", "2"}, 1, "timed out waiting for SEND BLOCK message"},
        {"fw.bin", &big.image, {"--wrong-checksum"}, 1, "checksums different"},
        {"fw.bin", &big.image, {"--no-fcs"}, 1, "Upload not verified: timed out waiting for FCS"},
        {"fw.bin", &small, {"--fail-at", "3"}, 1, "the unit reported UPLOAD FAILED"},
        {"fw.bin", &small, {"--no-thank-you"}, 1, "timed out waiting for Thank You"},
        {"bad.h86", &badHex, {}, 2, "line 2"},
    };
    for (const Row& row : rows) {
        Cli cli;
        std::vector<std::string> simArgs = row.sim;
        simArgs.insert(simArgs.end(), {"--restart-ms", "100"});
        SimUnit sim(cli.bin, 1, simArgs);
        const Outcome r = cli.Run({"upload", Q(cli.File(row.name, *row.content)), "--json", "--tick-ms", "2"}, 60000);
        const std::string label = row.name + (row.sim.empty() ? "" : " " + row.sim[0]);
        EXPECT_EQ(r.status, row.status) << label << "\n" << r.err;
        const QJsonObject result = JsonResult(r.out);
        EXPECT_EQ(result["status"].toInt(), row.status) << label;
        EXPECT_NE(result["reason"].toString().toStdString().find(row.reason), std::string::npos)
            << label << ": " << result["reason"].toString().toStdString();
        if (!row.warning.empty()) {
            EXPECT_NE(QJsonDocument(result["warnings"].toArray()).toJson().toStdString().find(row.warning),
                      std::string::npos) << label;
        }
    }
}

// At a terminal (or a pipe) the last words a person reads agree with the result: a failed
// verification is never followed by "Upload complete", and no window button is offered.
TEST(CommandLine, TheLastWordsAgreeWithTheResult) {
    const TestFirmware small = TestFirmware::Make(6, 9), big = TestFirmware::Make(2000, 3);
    const struct {
        const TestFirmware* fw;
        std::vector<std::string> sim;
        const char* last;
    } rows[] = {
        {&small, {}, "Upload complete. Time taken: "},
        {&big, {"--wrong-checksum"}, "Checksums different, Upload failed"},
    };
    for (const auto& row : rows) {
        Cli cli;
        std::vector<std::string> simArgs = row.sim;
        simArgs.insert(simArgs.end(), {"--restart-ms", "100"});
        SimUnit sim(cli.bin, 1, simArgs);
        const Outcome r = cli.Run({"upload", Q(cli.File("fw.bin", row.fw->image)), "--tick-ms", "2"}, 60000);
        const std::vector<std::string> lines = Lines(r.out);
        ASSERT_FALSE(lines.empty()) << r.err;
        EXPECT_EQ(lines.back().rfind(row.last, 0), 0u) << r.out;
        EXPECT_EQ(r.out.find("Program complete"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(" 1 seconds"), std::string::npos) << r.out;
        for (const std::string& line : lines) {
            if (line.rfind("Block ", 0) != 0) {
                EXPECT_EQ(line.find("  "), std::string::npos) << line;
            }
        }
    }
}

TEST(CommandLine, APortThatDoesNotOpenIsStatusThreeWithTheSystemsReason) {
    Cli cli;
    const std::string file = cli.File("fw.h86", TestFirmware::Make(2).hex);
    fs::create_symlink(cli.root / "no-such-device", cli.bin + "/COM7");
    for (const QStringList& where : {QStringList{"--port", "7"}, QStringList{"--device", Q(cli.root / "gone")}}) {
        const Outcome r = cli.Run(QStringList{"upload", Q(file), "--tick-ms", "2"} + where);
        EXPECT_EQ(r.status, 3) << r.out << r.err;
        EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(cli.root / "fw.ZUP"));  // the file waits for an open port
    }
}

TEST(CommandLine, BadUsageIsOneLineAndStatusTwoWithNothingWritten) {
    Cli cli;
    const QString fw = Q(cli.File("fw.h86", TestFirmware::Make(2).hex));
    const QString notes = Q(cli.File("notes.txt", "x"));
    struct Row {
        QStringList args;
        std::string says;
    };
    const Row rows[] = {
        {{"upload", fw, "--port", "0"}, "--port must be 1 to 9"},
        {{"upload", fw, "--port", "10"}, "--port must be 1 to 9"},
        {{"upload", fw, "--baud", "9600"}, "--baud must be 38400 or 57600"},
        {{"upload", fw, "--port", "1", "--port", "1"}, "--port 1 is given twice"},
        {{"upload", fw, "--verbose"}, "unknown option '--verbose' (see zupflshc --help)"},
        {{"upload", Q(cli.root / "missing.h86")}, "No such file or directory"},
        {{"upload", notes}, "Unexpected file extension (TXT)"},
        {{"upload"}, "upload needs one FILE"},
        {{"ports", "--yes"}, "ports does not take --yes"},
        {{"flash", fw}, "unknown command 'flash'"},
        {{"factory"}, "give --yes"},  // stdin is a pipe: nobody could press Enter
    };
    const auto before = Snapshot(cli.root.Path());
    for (const Row& row : rows) {
        const Outcome r = cli.Run(row.args);
        const std::string label = row.args.join(' ').toStdString();
        EXPECT_EQ(r.status, 2) << label;
        EXPECT_EQ(r.out, "") << label;
        EXPECT_EQ(Lines(r.err).size(), 1u) << label << ": " << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << label << ": " << r.err;
    }
    EXPECT_EQ(Snapshot(cli.root.Path()), before);
}

TEST(CommandLine, PrepareReportsTheCountTheChecksumAndTheFilesWritten) {
    Cli cli;
    const TestFirmware fw = TestFirmware::Make(17, 4);
    fs::create_directories(cli.root / "v1.2");  // a dot in a folder's name is not the extension
    WriteWholeFile(cli.root / "v1.2/fw.h86", fw.hex);
    const Outcome r = cli.Run({"prepare", Q(cli.root / "v1.2/fw.h86")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string folder = cli.root / "v1.2/";
    for (const std::string& line : {std::string("Blocks: 17"), "Checksum: " + fw.Checksum(), "Written: " + folder + "fw.BIN",
                                    "Written: " + folder + "fw.ZUP"})
        EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line << " in\n" << r.out;
    EXPECT_TRUE(ReadWholeFile(folder + "fw.BIN") == fw.image);
    EXPECT_EQ(fs::file_size(folder + "fw.ZUP"), 17u * 135 + 4);
    // With --json the preparation's result is the last event, with what it made.
    const Outcome j = cli.Run({"prepare", Q(cli.root / "v1.2/fw.h86"), "--json"});
    ASSERT_EQ(j.status, 0) << j.err;
    const QJsonObject result = JsonResult(j.out);
    EXPECT_EQ(result["kind"].toString(), "prepared");
    EXPECT_EQ(result["job"].toString(), "prepare");
    EXPECT_EQ(result["blocks"].toInt(), 17);
    EXPECT_EQ(result["file_checksum"].toString().toStdString(), fw.Checksum());
    EXPECT_EQ(result["files_written"].toArray().size(), 2);
    EXPECT_TRUE(result["warnings"].isArray());

    // A file that cannot be prepared: status 2 with the engine's reason.
    std::string bad = fw.hex;
    bad.replace(bad.find(":10") + 12, 2, "G1");
    const Outcome b = cli.Run({"prepare", Q(cli.File("bad.h86", bad))});
    EXPECT_EQ(b.status, 2);
    EXPECT_NE(b.err.find("line 2"), std::string::npos) << b.err;

    // Cut short (no end record) or without data for the flash: refused, nothing left behind.
    const std::string cut = fw.hex.substr(0, fw.hex.rfind(":00000001FF"));
    for (const auto& [name, content, words] : {std::tuple<std::string, std::string, std::string>{"cut.h86", cut, "incomplete"},
                                               {"none.h86", ":00000001FF\r\n", "holds no data"}}) {
        const Outcome c = cli.Run({"prepare", Q(cli.File(name, content))});
        EXPECT_EQ(c.status, 2) << name;
        EXPECT_NE(c.err.find(words), std::string::npos) << c.err;
        EXPECT_FALSE(fs::exists(cli.root / (name.substr(0, name.size() - 4) + ".BIN"))) << name;
    }
}

TEST(CommandLine, FactoryJobWithYesAndTheDefaultCaptureFile) {
    Cli cli;
    SimUnit sim(cli.bin, 1);
    const Outcome r = cli.Run({"factory", "--yes", "--capture", "--tick-ms", "20"}, 60000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto lines = Lines(r.out);
    EXPECT_EQ(lines.front(), "Opening Com Port 1...");
    for (const char* text : {"Loader 2 complete", "Sending line 161...", "Checksum is 6890"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), text), lines.end()) << text;
    EXPECT_EQ(lines.back(), "Next: upload the main Application Software (zupflshc upload FILE)");
    ExpectPipedProgress(r.out, 42);
    EXPECT_EQ(sim.Report()["factory"], "1");
    EXPECT_NE(ReadWholeFile(cli.bin + "/Capture.txt").find("[start]"), std::string::npos);
    EXPECT_FALSE(fs::exists(cli.bin + "/Reserved.ZUP"));
    EXPECT_FALSE(fs::exists(cli.bin + "/commsUP.txt"));
}

TEST(CommandLine, PortsListsALinkedPseudoTerminal) {
    Cli cli;
    TestPty pty;
    pty.LinkAs(cli.bin, 3);
    const Outcome r = cli.Run({"ports"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("COM3: " + cli.bin + "/COM3 -> " + pty.SlavePath() + "\n"), std::string::npos) << r.out;
}

TEST(CommandLine, OnATerminalTheProgressIsOneLineRedrawn) {
    Cli cli;
    SimUnit sim(cli.bin, 1, {"--restart-ms", "100"});
    TestPty terminal;
    QProcess p;
    p.setStandardOutputFile(Q(terminal.SlavePath()));
    cli.Start(p, {"upload", Q(cli.File("fw.h86", TestFirmware::Make(600, 2).hex)), "--tick-ms", "2"});
    std::string out;
    while (p.state() != QProcess::NotRunning && !p.waitForFinished(10)) out += terminal.Read(1 << 16, 10);
    out += terminal.Read(1 << 16, 100);
    EXPECT_EQ(p.exitCode(), 0);
    std::vector<std::string> progress;
    for (const std::string& l : Lines(out))
        if (l.find("Block ") != std::string::npos) progress.push_back(l);
    ASSERT_EQ(progress.size(), 1u) << out;
    EXPECT_NE(progress[0].find("\r\033[KBlock "), std::string::npos);
    EXPECT_NE(progress[0].find("Block 600 of 600 100% [####################]"), std::string::npos);
}

// Ctrl-C, a kill and a closed terminal all stop the upload at once and release the port.
TEST(CommandLine, InterruptStopsAtOnceAndReleasesThePort) {
    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 130}, std::pair{SIGHUP, 129}}) {
        Cli cli;
        SimUnit sim(cli.bin, 1, {"--pace"});
        QProcess p;
        cli.Start(p, {"upload", Q(cli.File("fw.h86", TestFirmware::Make(100).hex)), "--json", "--tick-ms", "2"});
        std::string out;
        while (out.find("\"event\":\"block\"") == std::string::npos && p.waitForReadyRead(10000))
            out += p.readAllStandardOutput().toStdString();
        ASSERT_NE(out.find("\"event\":\"block\""), std::string::npos) << out;
        ::kill(static_cast<pid_t>(p.processId()), signal);
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_EQ(p.exitCode(), status) << strsignal(signal);
        const QJsonObject result = JsonResult(out + p.readAllStandardOutput().toStdString());
        const std::string reason = result["reason"].toString().toStdString();
        EXPECT_EQ(reason.rfind("stopped at block ", 0), 0u) << reason;
        EXPECT_NE(reason.find("the unit must be uploaded again"), std::string::npos) << reason;
        EXPECT_EQ(result["kind"].toString().toStdString(), "interrupted");
        EXPECT_LT(std::stoi(sim.Report()["blocks"]), 100);

        int err = 0;
        const std::string lock = "/run/lock/" + serialio::LockFileName(sim.LinkPath(), err);
        EXPECT_FALSE(fs::exists(lock)) << strsignal(signal);
        TSerial again;
        again.SetPortRule(ComRule(cli.bin + "/"));
        again.SetActive(true);
        EXPECT_TRUE(again.Active()) << again.ErrorText();
    }
}

TEST(CommandLine, TwoUnitsAtOnceFromTwoProcesses) {
    Cli cli;
    TempDir other;
    SimUnit a(cli.bin, 1, {"--restart-ms", "100"});
    SimUnit b(other.Path(), 1, {"--restart-ms", "100"});
    fs::create_symlink(b.LinkPath(), cli.bin + "/COM2");
    const TestFirmware fwA = TestFirmware::Make(300, 21), fwB = TestFirmware::Make(300, 22);
    QProcess pa, pb;
    cli.Start(pa, {"upload", Q(cli.File("a.h86", fwA.hex)), "--port", "1", "--tick-ms", "2"});
    cli.Start(pb, {"upload", Q(cli.File("b.h86", fwB.hex)), "--port", "2", "--tick-ms", "2"});
    ASSERT_TRUE(pa.waitForFinished(60000) && pb.waitForFinished(60000));
    EXPECT_EQ(pa.exitCode(), 0) << pa.readAllStandardError().toStdString();
    EXPECT_EQ(pb.exitCode(), 0) << pb.readAllStandardError().toStdString();
    EXPECT_TRUE(a.Flash() == fwA.image);
    EXPECT_TRUE(b.Flash() == fwB.image);
}

TEST(CommandLine, HelpIsTheReadmesCommandLineSection) {
    const std::string readme = ReadWholeFile(std::string(ZUP_SOURCE_DIR) + "/README.md");
    const size_t section = readme.find("\n## Command line\n");
    ASSERT_NE(section, std::string::npos);
    const size_t from = readme.find("```text\n", section) + 8;
    const std::string documented = readme.substr(from, readme.find("```\n", from) - from);
    const Outcome r = Cli().Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, documented);
}

// The README's list of how a job can end is the result kinds' table, a preparation's own aside.
TEST(CommandLine, TheReadmeNamesEveryResultARecordCanHold) {
    const std::string readme = ReadWholeFile(std::string(ZUP_SOURCE_DIR) + "/README.md");
    const size_t from = readme.find("how it ended (");
    ASSERT_NE(from, std::string::npos);
    const std::string list = readme.substr(from, readme.find(", with", from) - from);
    std::vector<std::string> named;
    for (size_t at = list.find('`'); at != std::string::npos; at = list.find('`', list.find('`', at + 1) + 1))
        named.push_back(list.substr(at + 1, list.find('`', at + 1) - at - 1));
    std::vector<std::string> kinds = ResultKindNames();
    kinds.erase(std::remove(kinds.begin(), kinds.end(), "prepared"), kinds.end());
    EXPECT_EQ(named, kinds);
}

// A name that is not UTF-8 is the file it names: taken from the arguments as bytes, shown with its
// odd bytes as <XX>, and never mistaken for the file whose name holds the replacement characters.
TEST(CommandLine, ANameThatIsNotTextIsTheFileItNames) {
    Cli cli;
    const TestFirmware fw = TestFirmware::Make(3, 9), other = TestFirmware::Make(5, 10);
    const std::string odd = cli.root / "\xff\xfe.h86", replaced = cli.root / "\xef\xbf\xbd\xef\xbf\xbd.h86";
    WriteWholeFile(odd, fw.hex);
    WriteWholeFile(replaced, other.hex);
    auto run = [&](const std::string& name, std::vector<std::string> args = {"prepare"}) {
        args.push_back(name);
        int out[2];
        EXPECT_EQ(::pipe(out), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(out[1], 2);
            ::dup2(out[1], 1);
            const std::string program = cli.bin + "/zupflshc";
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string text;
        char buf[512];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
        ::close(out[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        return std::make_pair(WEXITSTATUS(status), text);
    };
    const auto [status, text] = run(odd);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("Blocks: 3\n"), std::string::npos) << text;  // not the other file's 5
    EXPECT_TRUE(fs::exists(cli.root / "\xff\xfe.ZUP"));
    fs::remove(odd);
    const auto [missing, said] = run(odd);
    EXPECT_EQ(missing, 2);
    EXPECT_NE(said.find("<FF><FE>.h86"), std::string::npos) << said;

    // A device named by such bytes is the device opened, not a file under the re-encoded name.
    const std::string device = cli.root / "\xff\xfe.tty", lookalike = cli.root / "\xef\xbf\xbd\xef\xbf\xbd.tty";
    WriteWholeFile(lookalike, "not a serial device");
    const std::string file = cli.File("fw.h86", fw.hex);
    const auto [status3, told] = run(device, {"upload", file, "--tick-ms", "2", "--device"});
    EXPECT_EQ(status3, 3) << told;
    EXPECT_NE(told.find("No such file or directory"), std::string::npos) << told;

    // The reason naming it is UTF-8, its odd bytes shown as <XX>: the JSON event and the record agree.
    const std::string db = cli.root / "line.sqlite";
    const auto [status4, events] = run(device, {"upload", file, "--tick-ms", "2", "--json", "--record-db", db, "--device"});
    EXPECT_EQ(status4, 3) << events;
    QString reason;
    for (const std::string& line : Lines(events))
        if (const QJsonObject e = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object(); e["event"] == "result")
            reason = e["reason"].toString();
    EXPECT_TRUE(reason.contains(QString::fromStdString(cli.root.Path()) + "/<FF><FE>.tty: ")) << reason.toStdString();
    const Outcome history = cli.Run({"history", "--json", "--record-db", Q(db)});
    ASSERT_EQ(Lines(history.out).size(), 1u) << history.out << history.err;
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(history.out)).object()["reason"].toString(), reason);

    // recipe write finds the file by its bytes, and refuses it only because a recipe, which is
    // text, cannot hold its name.
    WriteWholeFile(odd, fw.hex);
    const auto [written, why] = run(odd, {"recipe", "write", cli.root / "r.json", "upload"});
    EXPECT_EQ(written, 2) << why;
    EXPECT_NE(why.find("'<FF><FE>.h86' is not UTF-8 text"), std::string::npos) << why;
}

// The parser takes long options with one dash as well, so the word after a bare --capture is
// judged knowing which words are the values of options either way.
TEST(CommandLine, ABareCaptureTakesNoOptionsValueWhateverItsDashes) {
    const struct {
        QStringList args;
        const char* file;
        const char* capture;
    } rows[] = {
        {{"upload", "--capture", "fw.h86", "--port", "3"}, "fw.h86", ""},
        {{"upload", "--capture", "fw.h86", "-port", "3"}, "fw.h86", ""},
        {{"upload", "-capture", "fw.h86", "-port", "3"}, "fw.h86", ""},
        {{"upload", "--capture", "cap.txt", "fw.h86", "-port", "3"}, "fw.h86", "cap.txt"},
        {{"upload", "-port", "3", "--capture", "fw.h86"}, "fw.h86", ""},
    };
    for (const auto& row : rows) {
        TCliOptions options;
        QString error;
        ASSERT_EQ(ParseCommandLine(row.args, options, error), TParse::Run) << error.toStdString();
        EXPECT_EQ(options.File, row.file) << row.args.join(' ').toStdString();
        EXPECT_TRUE(options.Capture);
        EXPECT_EQ(options.CapturePath, row.capture) << row.args.join(' ').toStdString();
        EXPECT_EQ(options.Port, 3);
    }
}
