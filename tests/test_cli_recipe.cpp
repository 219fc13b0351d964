// A line's recipe on the command line against simulated units: written, shown and run; refused
// before any port opens when the firmware is not the one it pins or the file is not a sound
// recipe; and the units' ids from a scanner reaching their records.
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "base/Sha256.h"
#include "base/TrustedPath.h"
#include "driver/UnitIds.h"
#include "support/AsUser.h"
#include "support/Firmware.h"
#include "support/StationRun.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kOneUnit = {"--restart-ms", "100"};

// The records of a station's file, newest first, as history --json gives them.
std::vector<QJsonObject> Records(const Station& s, const QStringList& filter = {}) {
    const Outcome r = s.Run(QStringList{"history", "--json", "--record-db", Q(s.root / "line.sqlite")} + filter);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<QJsonObject> rows;
    for (const std::string& line : Lines(r.out)) rows.push_back(Json(line));
    return rows;
}

}  // namespace

TEST(Recipe, WrittenShownAndRunOnThreePortsEveryRecordNamingIt) {
    Station s;
    for (int i = 1; i <= 3; ++i) s.Unit(i, kOneUnit);
    const TestFirmware fw = TestFirmware::Make(40, 6);
    const std::string firmware = s.File("fw.h86", fw.hex);
    const std::string recipe = s.root / "line3.json";
    const Outcome w = s.Run(QStringList{"recipe", "write", Q(recipe), "upload", Q(firmware), "--verify",
                                        "--expect-version", "1.01", "--record-db", Q(s.root / "line.sqlite")} +
                            s.Devices(3));
    ASSERT_EQ(w.status, 0) << w.err;
    const QJsonObject written = QJsonDocument::fromJson(QByteArray::fromStdString(ReadWholeFile(recipe))).object();
    EXPECT_EQ(written["firmware"].toObject()["file"], "fw.h86") << "beside the recipe, the name stays relative";
    EXPECT_EQ(written["firmware"].toObject()["sha256"], Q(Sha256Hex(fw.hex)));
    EXPECT_EQ(written["firmware"].toObject()["blocks"].toInt(), 40);
    EXPECT_EQ(written["ports"].toArray().size(), 3);

    const Outcome shown = s.Run({"recipe", "show", Q(recipe)});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("The firmware matches the recipe."), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Software version required: 1.01"), std::string::npos) << shown.out;

    const Outcome run = s.Run({"recipe", "run", Q(recipe), "--json", "--tick-ms", "2"}, 60000);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const auto results = Events(run.out, "result");
    ASSERT_EQ(results.size(), 3u) << run.out;
    for (const QJsonObject& e : results) {
        // 40 blocks, verified all the same: the unit was asked and its checksum compared.
        EXPECT_EQ(e["kind"], "verified") << e["reason"].toString().toStdString();
        EXPECT_EQ(e["unit_checksum"], e["file_checksum"]);
        EXPECT_EQ(e["unit_version"], "1.01");
    }
    for (auto& unit : s.units) EXPECT_EQ(unit->Report()["fcs_queries"], "1");
    const auto summary = Events(run.out, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["units"].toArray()[0].toObject()["unit_version"], "1.01");
    const auto rows = Records(s, {"--recipe", "line3.json"});
    ASSERT_EQ(rows.size(), 3u);
    for (const QJsonObject& row : rows) EXPECT_EQ(row["recipe_sha256"], Q(Sha256Hex(ReadWholeFile(recipe))));
    EXPECT_TRUE(Records(s, {"--recipe", "other.json"}).empty());
}

// The firmware changed after the recipe was written: refused before any port opens, naming the
// file and both digests; no unit hears a byte.
TEST(Recipe, FirmwareThatNoLongerMatchesIsRefusedBeforeAnyPortOpens) {
    Station s;
    s.Unit(1, kOneUnit);
    const std::string firmware = s.File("fw.h86", TestFirmware::Make(10, 1).hex);
    const std::string recipe = s.root / "line.json";
    ASSERT_EQ(s.Run(QStringList{"recipe", "write", Q(recipe), "upload", Q(firmware)} + s.Devices(1)).status, 0);
    const std::string changed = TestFirmware::Make(10, 2).hex;
    s.File("fw.h86", changed);
    for (const char* command : {"show", "run"}) {
        const Outcome r = s.Run({"recipe", command, Q(recipe)});
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_NE(r.err.find(Sha256Hex(changed) + " (file)"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(s.root / "fw.h86"), std::string::npos) << r.err;
    }
    // The refusal's remedy, run as printed by the engineer, pins the file as it is now.
    const std::string refusal = s.Run({"recipe", "show", Q(recipe)}).err;
    const size_t from = refusal.find("the engineer must write the recipe again: `");
    ASSERT_NE(from, std::string::npos) << refusal;
    const size_t start = refusal.find('`', from) + 1;
    const std::string remedy = refusal.substr(start, refusal.find('`', start) - start);
    QProcess shell;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", Q(s.bin) + ":" + env.value("PATH"));
    shell.setProcessEnvironment(env);
    shell.start("/bin/sh", {"-c", Q(remedy)});
    ASSERT_TRUE(shell.waitForFinished(30000));
    EXPECT_EQ(shell.exitCode(), 0) << remedy << "\n" << shell.readAllStandardError().toStdString();
    EXPECT_NE(s.Run({"recipe", "show", Q(recipe)}).out.find("The firmware matches the recipe."), std::string::npos);
    fs::remove(firmware);
    EXPECT_EQ(s.Run({"recipe", "run", Q(recipe)}).status, 2);
    EXPECT_EQ(s.units[0]->Report()["wakeups"], "0");
}

// A recipe that is not a sound one: one line naming it and the problem, status 2, nothing sent.
TEST(Recipe, AnUnsoundRecipeIsOneLineAndNothingIsSent) {
    Station s;
    s.Unit(1, kOneUnit);
    const std::string fw = TestFirmware::Make(4, 1).hex;
    s.File("fw.h86", fw);
    const std::string device = s.Device(1);
    const auto recipe = [&](const std::string& firmware, const std::string& rest) {
        return R"({"format": 1, "job": "upload", "firmware": )" + firmware + R"(, "ports": [")" + device + "\"]" +
               rest + "}";
    };
    const std::string good = R"({"file": "fw.h86", "sha256": ")" + Sha256Hex(fw) + R"(", "size": )" +
                             std::to_string(fw.size()) + "}";
    struct Row {
        const char* name;
        std::string content;  // "fifo": made so
        std::string says;
    };
    const Row rows[] = {
        {"not JSON", "{\"format\": 1,", "not a recipe (JSON object)"},
        {"empty", "", "empty"},
        {"a FIFO", "fifo", "not a regular file"},
        {"an unknown key", recipe(good, R"(, "speed": 57600)"), "unknown key 'speed'"},
        {"no ports", R"({"format": 1, "job": "factory", "ports": []})", "names no ports"},
        {"a negative count", recipe(good, R"(, "loop": true, "count": -1)"), "'count' must be a whole number"},
        {"a count beyond any number", recipe(good, R"(, "loop": true, "count": 1e300)"), "'count' must be a whole number"},
        {"a short SHA-256", recipe(R"({"file": "fw.h86", "sha256": "abc", "size": 1})", ""), "64 lower-case hex"},
        {"a newer format", R"({"format": 2, "job": "factory", "ports": ["COM 1"]})", "newer than this program"},
    };
    for (const Row& row : rows) {
        const std::string path = s.root / "bad.json";
        fs::remove(path);
        if (row.content == "fifo") {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        } else {
            s.File("bad.json", row.content);
        }
        const Outcome r = s.Run({"recipe", "run", Q(path), "--tick-ms", "2"});
        EXPECT_EQ(r.status, 2) << row.name << ": " << r.out;
        EXPECT_EQ(Lines(r.err).size(), 1u) << row.name << ": " << r.err;
        EXPECT_EQ(r.err.rfind("zupflshc: recipe '" + path + "': ", 0), 0u) << row.name << ": " << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << row.name << ": " << r.err;
    }
    EXPECT_EQ(s.units[0]->Report()["wakeups"], "0");
}

// The way to a recipe or its firmware, step by step: who owns each folder, who else may write to
// it, the sticky bit, and every link on it. Root runs it, so root and the file's owner are trusted.
TEST(TrustedPathAsRoot, EveryFolderAndLinkOnTheWayIsJudged) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    struct Row {
        const char* name;
        mode_t folderMode;   // the file's folder F
        uid_t folderOwner;
        gid_t folderGroup;
        uid_t fileOwner;
        mode_t linkFolderMode;  // 0: the file is named itself; else through the link L in folder LF
        uid_t linkOwner;
        const char* says;    // "" when the way is trusted; {F}, {L} and {LF} stand for the paths
    };
    const uid_t root = 0;
    const Row rows[] = {
        {"a folder only root may write to", 0755, root, 0, root, 0, 0, ""},
        {"a folder anyone may write to", 0777, root, 0, root, 0, 0, "other users may write to the folder {F} (mode 0777)"},
        {"a folder a shared group may write to", 0775, root, kNobody, root, 0, 0, "other users may write to the folder {F} (mode 0775)"},
        {"a folder root's own group may write to", 0775, root, 0, root, 0, 0, ""},
        {"a sticky folder, the file root's", 01777, root, 0, root, 0, 0, ""},
        {"a sticky folder, the file another user's", 01777, root, 0, kNobody, 0, 0, "{F}/file belongs to user "},
        {"the file owner's own folder", 0755, kNobody, 0, kNobody, 0, 0, ""},
        {"another user's folder", 0755, kNobody, 0, root, 0, 0, "the folder {F} belongs to user "},
        {"a link of the file's owner", 0755, kNobody, 0, kNobody, 0755, kNobody, ""},
        {"a link of another user", 0755, root, 0, root, 0755, kNobody, "the link {L} belongs to user "},
        {"a link in a folder anyone may write to", 0755, kNobody, 0, kNobody, 0777, kNobody,
         "other users may write to the folder {LF} (mode 0777)"},
        {"another user's link in a sticky folder", 0755, kNobody, 0, kNobody, 01777, kNobody, "{L} belongs to user "},
        {"root's link in a sticky folder", 0755, kNobody, 0, kNobody, 01777, root, ""},
    };
    for (const Row& row : rows) {
        TempDir base;
        const std::string folder = base / "f", file = folder + "/file", linkFolder = base / "l",
                          link = linkFolder + "/link";
        fs::create_directory(folder);
        WriteWholeFile(file, "{}");
        ASSERT_EQ(::chown(file.c_str(), row.fileOwner, 0), 0);
        ASSERT_EQ(::chown(folder.c_str(), row.folderOwner, row.folderGroup), 0);
        ASSERT_EQ(::chmod(folder.c_str(), row.folderMode), 0);
        if (row.linkFolderMode) {
            fs::create_directory(linkFolder);
            ASSERT_EQ(::chmod(linkFolder.c_str(), row.linkFolderMode), 0);
            fs::create_symlink(file, link);
            ASSERT_EQ(::lchown(link.c_str(), row.linkOwner, 0), 0);
        }
        std::string says = row.says;
        for (const auto& [mark, path] : {std::pair{"{LF}", linkFolder}, {"{F}", folder}, {"{L}", link}})
            if (const size_t at = says.find(mark); at != std::string::npos) says.replace(at, strlen(mark), path);
        const std::string reason = UntrustedPathReason(row.linkFolderMode ? link : file);
        if (says.empty()) EXPECT_EQ(reason, "") << row.name;
        else EXPECT_EQ(reason.rfind(says, 0), 0u) << row.name << ": " << reason;
    }
}

// Another user's recipe and firmware, laid by their link in a folder anyone may write to (a share
// left 0777): refused before any port opens, naming that folder. The same recipe in the folder
// only its owner may write to is run by another user (here root) as it stands.
TEST(RecipeAsRoot, ALinkInAFolderAnyoneMayWriteToIsRefusedTheOwnersFolderIsNot) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    Station s;
    s.Unit(1, kOneUnit);
    const std::string own = s.root / "engineer", shared = s.root / "line3", good = s.root / "station";
    for (const std::string& folder : {own, shared, good}) fs::create_directory(folder);
    ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
    const std::string firmware = s.File("engineer/fw.h86", TestFirmware::Make(10, 4).hex);
    ASSERT_EQ(s.Run(QStringList{"recipe", "write", Q(own + "/line3.json"), "upload", Q(firmware)} + s.Devices(1)).status, 0);
    for (const std::string& path : {own, firmware, own + "/line3.json"}) ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    for (const char* name : {"/line3.json", "/fw.h86"}) {
        fs::create_symlink(own + name, shared + name);
        ASSERT_EQ(::lchown((shared + name).c_str(), kNobody, kNobody), 0);
    }
    // A recipe of the station's own naming the firmware through the link.
    QJsonObject recipe = QJsonDocument::fromJson(QByteArray::fromStdString(ReadWholeFile(own + "/line3.json"))).object();
    QJsonObject pinned = recipe["firmware"].toObject();
    pinned["file"] = Q(shared + "/fw.h86");
    recipe["firmware"] = pinned;
    WriteWholeFile(good + "/line3.json", QJsonDocument(recipe).toJson().toStdString());

    const std::string refused = "other users may write to the folder " + shared + " (mode 0777)";
    const std::vector<QStringList> commands = {
        {"recipe", "show", Q(shared + "/line3.json")},
        {"recipe", "run", Q(shared + "/line3.json"), "--tick-ms", "2"},
        {"recipe", "show", Q(good + "/line3.json")},
        {"recipe", "run", Q(good + "/line3.json"), "--tick-ms", "2"},
        QStringList{"recipe", "write", Q(good + "/again.json"), "upload", Q(shared + "/fw.h86")} + s.Devices(1),
    };
    for (const QStringList& command : commands) {
        const Outcome r = s.Run(command);
        EXPECT_EQ(r.status, 2) << command.join(' ').toStdString() << ": " << r.out;
        EXPECT_NE(r.err.find(refused), std::string::npos) << r.err;
    }
    EXPECT_EQ(s.units[0]->Report()["wakeups"], "0");
    EXPECT_FALSE(fs::exists(good + "/again.json"));

    EXPECT_EQ(s.Run({"recipe", "show", Q(own + "/line3.json")}).status, 0);
    const Outcome run = s.Run({"recipe", "run", Q(own + "/line3.json"), "--tick-ms", "2"}, 60000);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
}

// show takes record_db as run takes it: a file relative to the recipe's folder, and a location run
// refuses before any unit is refused by show too, in the same words.
TEST(Recipe, ShowJudgesTheRecordLocationAsRunDoes) {
    Station s;
    const std::string fw = TestFirmware::Make(4, 1).hex;
    s.File("fw.h86", fw);
    const struct {
        const char* recordDb;
        int status;
        std::string says;
    } rows[] = {
        {"records/line.sqlite", 0, "Record: " + s.root / "records/line.sqlite\n"},
        {"mysql://db/line", 2, "unknown record database scheme 'mysql://'"},
    };
    for (const auto& row : rows) {
        s.File("line.json", R"({"format": 1, "job": "upload", "firmware": {"file": "fw.h86", "sha256": ")" +
                                Sha256Hex(fw) + R"(", "size": )" + std::to_string(fw.size()) + R"(}, "ports": [")" +
                                s.Device(1) + R"("], "record_db": ")" + row.recordDb + "\"}");
        const Outcome shown = s.Run({"recipe", "show", Q(s.root / "line.json")});
        EXPECT_EQ(shown.status, row.status) << row.recordDb << ": " << shown.err;
        EXPECT_NE((shown.out + shown.err).find(row.says), std::string::npos) << shown.out << shown.err;
        if (row.status == 0) continue;
        const Outcome run = s.Run({"recipe", "run", Q(s.root / "line.json")});
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_NE(run.err.find(row.says), std::string::npos) << run.err;
    }
}

// What a run prepared at its start is what every unit of it gets, from memory: the firmware and a
// .ZUP beside it replaced between two units (and a wake-up that ran out after that) reach no unit,
// and every result and record names the pinned firmware and the blocks the unit really got.
TEST(Recipe, EveryUnitOfARunGetsTheBytesPreparedAtItsStart) {
    const TestFirmware a = TestFirmware::Make(10, 1), b = TestFirmware::Make(10, 2);
    const struct {
        const char* name;
        std::string firmware;
        bool recipe;
    } rows[] = {{"a loop", "fw.h86", false}, {"a recipe", "fw.h86", true}, {"a recipe of a .zup", "fw.zup", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Station s;
        s.Unit(1, kOneUnit);  // switched off and on by the test
        fs::create_directories(s.root / "made");
        const auto zupOf = [&](const TestFirmware& fw, const std::string& name) {
            EXPECT_EQ(s.Run({"prepare", Q(s.File("made/" + name + ".h86", fw.hex))}).status, 0);
            return ReadWholeFile(s.root / ("made/" + name + ".ZUP"));
        };
        const std::string zupA = zupOf(a, "a"), zupB = zupOf(b, "b");
        const bool zup = row.firmware == "fw.zup";
        const std::string firmware = s.File(row.firmware, zup ? zupA : a.hex);
        QStringList args = QStringList{"upload", Q(firmware), "--loop", "--count", "2", "--baud", "57600", "--verify",
                                       "--record-db", Q(s.root / "line.sqlite")} +
                           s.Devices(1);
        if (row.recipe) {
            ASSERT_EQ(s.Run(QStringList{"recipe", "write", Q(s.root / "line.json")} + args).status, 0);
            args = {"recipe", "run", Q(s.root / "line.json")};
        }
        QProcess p;
        s.Start(p, args + QStringList{"--json", "--tick-ms", "2"});
        std::string out = ReadEvents(p, [](const QJsonObject& e) { return e["event"] == "result"; }, 30000);
        s.File(row.firmware, zup ? zupB : b.hex);
        s.File("fw.ZUP", zupB);
        out += ReadEvents(p, [](const QJsonObject& e) { return e["stage"] == "ending"; }, 30000);
        s.units[0]->PowerCycle();
        ASSERT_TRUE(p.waitForFinished(30000));
        out += p.readAllStandardOutput().toStdString();
        EXPECT_EQ(p.exitCode(), 0) << out << p.readAllStandardError().toStdString();
        EXPECT_TRUE(FlashHolds(*s.units[0], a.image));
        const std::string sent = Sha256Hex(zupA.substr(0, zupA.size() - 4));
        EXPECT_EQ(s.units[0]->Report()["upload_sha256"], sent) << "the blocks the second unit received";
        std::vector<QJsonObject> named = Events(out, "result");
        ASSERT_EQ(named.size(), 2u) << out;
        for (const QJsonObject& record : Records(s)) named.push_back(record);
        ASSERT_EQ(named.size(), 4u);
        for (const QJsonObject& o : named) {
            EXPECT_EQ(o["input_file"], Q(firmware));
            EXPECT_EQ(o["input_sha256"], Q(Sha256Hex(zup ? zupA : a.hex)));
            EXPECT_EQ(o["upload_sha256"], Q(sent));
            EXPECT_EQ(o.contains("kind") ? o["kind"] : o["result"], "verified") << "verified at 9600";
            EXPECT_EQ(o["baud"].toInt(), 57600) << "the upload's speed";
        }
    }
}

// An operator who may only read the line's folder runs its recipe: the firmware is prepared in
// memory, nothing appears beside it, and the units are loaded.
TEST(Recipe, AnOperatorWhoMayOnlyReadTheLinesFolderRunsIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can run the program as a second user";
    Station s;
    s.Unit(1);
    const std::string line = s.root / "line";
    fs::create_directories(line);
    const TestFirmware fw = TestFirmware::Make(10, 4);
    const std::string recipe = line + "/line.json";
    WriteWholeFile(line + "/fw.h86", fw.hex);
    ASSERT_EQ(s.Run(QStringList{"recipe", "write", Q(recipe), "upload", Q(line + "/fw.h86"), "--loop", "--count",
                                "2", "--record-db", Q(s.home + "/line.sqlite")} +
                    s.Devices(1))
                  .status,
              0);
    for (const std::string& folder : {s.root.Path(), s.bin, line, s.folders[0]->Path()})
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    for (const std::string& file : {recipe, line + "/fw.h86"}) ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_EQ(::chown(s.home.c_str(), kNobody, kNobody), 0);
    const std::string device = fs::canonical(s.Device(1));
    ASSERT_EQ(::chown(device.c_str(), kNobody, kNobody), 0);
    const auto listing = [&] {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(line)) names.insert(entry.path().filename());
        return names;
    };
    const std::set<std::string> before = listing();
    QProcess p;
    p.setChildProcessModifier([] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(126);
    });
    s.Start(p, {"recipe", "run", Q(recipe), "--json", "--tick-ms", "2"});
    ASSERT_TRUE(p.waitForFinished(60000));
    const std::string out = p.readAllStandardOutput().toStdString();
    EXPECT_EQ(p.exitCode(), 0) << out << p.readAllStandardError().toStdString();
    EXPECT_EQ(Events(out, "result").size(), 2u) << out;
    EXPECT_TRUE(FlashHolds(*s.units[0], fw.image));
    EXPECT_EQ(listing(), before);
}

// Ids typed ahead wait in order, one for each unit of the port they name. When they have run out
// and standard input ends, each port ends without a result of its own: no unit is told twice.
TEST(UnitIds, ScannedIdsReachTheRecordsOfATwoPortLoop) {
    Station s;
    s.Unit(1);
    s.Unit(2);
    const std::string fw = TestFirmware::Make(10, 3).hex;
    QProcess p;
    s.Start(p, QStringList{"upload", Q(s.File("fw.h86", fw)), "--json", "--tick-ms", "2",
                           "--loop", "--require-unit-id", "--scan", "--record-db", Q(s.root / "line.sqlite")} +
                   s.Devices(2));
    p.write(Q(s.Device(1) + " A-1\n" + s.Device(2) + " B-1\n" + s.Device(1) + " A-2\n" + s.Device(2) + " B-2\n")
                .toUtf8());
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const std::string out = p.readAllStandardOutput().toStdString();
    std::map<QString, QStringList> ids;
    for (const QJsonObject& e : Events(out, "result")) ids[e["unit"].toString()] << e["unit_id"].toString();
    EXPECT_EQ(ids[Q(s.Device(1))], (QStringList{"A-1", "A-2"})) << out;
    EXPECT_EQ(ids[Q(s.Device(2))], (QStringList{"B-1", "B-2"})) << out;
    std::map<QString, QString> ends;
    for (const QJsonObject& e : Events(out, "port_end")) {
        EXPECT_EQ(e["why"], "no_unit_id");
        EXPECT_EQ(e["status"], 0);
        ends[e["unit"].toString()] = e["reason"].toString();
    }
    const QString reason = "standard input ended: no more unit ids";
    EXPECT_EQ(ends, (std::map<QString, QString>{{Q(s.Device(1)), reason}, {Q(s.Device(2)), reason}})) << out;
    std::set<QString> recorded;
    for (const QJsonObject& row : Records(s)) {
        recorded.insert(row["unit_id"].toString());
        // The port as given (the link, as a by-path name would be), beside the terminal it led to.
        const QString given = Q(s.Device(row["unit_id"].toString().startsWith("A") ? 1 : 2));
        EXPECT_EQ(row["port_name"], given);
        EXPECT_EQ(row["device"], QFileInfo(given).canonicalFilePath());
        // Every unit of the loop names the firmware it got, as the preparation read it.
        EXPECT_EQ(row["input_sha256"], Q(Sha256Hex(fw)));
        EXPECT_EQ(row["input_size"].toInteger(), static_cast<qint64>(fw.size()));
    }
    EXPECT_EQ(recorded, (std::set<QString>{"A-1", "A-2", "B-1", "B-2"}));
}

// A board scanned after its port's wake-up ran out (the line's pause between boards) is the board
// that answers next: each of three boards is recorded with its own id, none with its neighbour's.
TEST(UnitIds, ABoardScannedAfterAWakeUpRanOutIsRecordedWithItsOwnId) {
    Station s;
    const QString device = Q(s.Device(1));
    QProcess p;
    // The port waits for its unit, which starts once the first board's id has been taken.
    s.Start(p, QStringList{"upload", Q(s.File("fw.h86", TestFirmware::Make(10, 3).hex)), "--json", "--tick-ms", "2",
                           "--loop", "--count", "3", "--scan", "--wait", "60", "--record-db", Q(s.root / "line.sqlite")} +
                   s.Devices(1));
    std::string out;
    const auto seen = [&](const char* kind, const char* stage = nullptr) {
        out += ReadEvents(p, [&](const QJsonObject& e) { return e["event"] == kind && (!stage || e["stage"] == stage); },
                          30000);
    };
    for (const char* id : {"SN-A", "SN-B", "SN-C"}) {
        const size_t results = Events(out, "result").size();
        // A loaded board stays deaf to the wake-up, which runs out before the next one is scanned.
        if (results > 0) seen("stage", "ending");
        // The scanner's lines are taken in order: once the line after the id is refused, the id is
        // the port's.
        p.write(device.toUtf8() + " " + id + "\nnext\n");
        seen("warning");
        if (results == 0) s.Unit(1, kOneUnit);
        else s.units[0]->PowerCycle();
        seen("result");
        ASSERT_EQ(Events(out, "result").size(), results + 1) << out;
    }
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0) << out << p.readAllStandardError().toStdString();
    QStringList ids;
    for (const QJsonObject& e : Events(out, "result")) ids << e["unit_id"].toString();
    EXPECT_EQ(ids.join(' ').toStdString(), "SN-A SN-B SN-C") << out;
    std::set<QString> recorded;
    for (const QJsonObject& row : Records(s)) recorded.insert(row["unit_id"].toString());
    EXPECT_EQ(recorded, (std::set<QString>{"SN-A", "SN-B", "SN-C"}));
}

// A port that requires an id wakes no unit before it has one, and a label scanned twice is refused
// for the second unit, which waits on for an id of its own.
TEST(UnitIds, ARequiredIdHoldsThePortAndAnIdIsUsedOnce) {
    Station s;
    s.Unit(1, kOneUnit);
    s.Unit(2, kOneUnit);
    const QString one = Q(s.Device(1)), two = Q(s.Device(2));
    QProcess p;
    s.Start(p, QStringList{"upload", Q(s.File("fw.h86", TestFirmware::Make(10, 3).hex)), "--json", "--tick-ms", "2",
                           "--scan", "--require-unit-id", "--record-db", Q(s.root / "line.sqlite")} +
                   s.Devices(2));
    std::set<QString> waiting;
    std::string out = ReadEvents(p, [&](const QJsonObject& e) {
        if (e["event"] == "awaiting" && e["step"] == "unit_id") waiting.insert(e["unit"].toString());
        return waiting.size() == 2;
    }, 30000);
    ASSERT_EQ(waiting.size(), 2u) << out;
    // The scanner names the first port by its position.
    p.write("COM9 X\n1 SN-1\n");
    out += ReadEvents(p, [&](const QJsonObject& e) { return e["event"] == "result" && e["unit"] == one; }, 30000);
    EXPECT_EQ(s.units[1]->Report()["wakeups"], "0") << "the second port waits for its id";
    p.write(two.toUtf8() + " SN-1\n");
    out += ReadEvents(p, [&](const QJsonObject& e) { return e["event"] == "warning" && e["unit"] == two; }, 30000);
    EXPECT_NE(out.find("unit id 'SN-1' was already used in this run"), std::string::npos) << out;
    EXPECT_NE(out.find("'COM9 X' names no port of this station"), std::string::npos) << out;
    // And the second by a link to its device, as /dev/serial/by-path names a slot.
    fs::create_symlink(two.toStdString(), s.root / "slot-2");
    p.write(Q(s.root / "slot-2").toUtf8() + " SN-2\n");
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0) << out << p.readAllStandardError().toStdString();
    out += p.readAllStandardOutput().toStdString();
    std::map<QString, QString> ids;
    for (const QJsonObject& e : Events(out, "result")) ids[e["unit"].toString()] = e["unit_id"].toString();
    EXPECT_EQ(ids, (std::map<QString, QString>{{one, "SN-1"}, {two, "SN-2"}}));
    std::set<QString> recorded;
    for (const QJsonObject& row : Records(s)) recorded.insert(row["unit_id"].toString());
    EXPECT_EQ(recorded, (std::set<QString>{"SN-1", "SN-2"}));
}

// A line longer than any label (a stuck key) is refused whole: its tail is not read as a line of
// its own, and the next line is taken as it comes.
TEST(UnitIds, ALineTooLongIsRefusedWholeNotReadAgainFromItsTail) {
    Station s;
    s.Unit(1, kOneUnit);
    QProcess p;
    s.Start(p, QStringList{"upload", Q(s.File("fw.h86", TestFirmware::Make(4, 3).hex)), "--json", "--tick-ms", "2",
                           "--loop", "--count", "1", "--scan", "--require-unit-id"} +
                   s.Devices(1));
    p.write(QByteArray(9000, 'z') + "\n" + Q(s.Device(1)).toUtf8() + " SN-1\n");
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(30000));
    const std::string out = p.readAllStandardOutput().toStdString();
    EXPECT_EQ(p.exitCode(), 0) << out << p.readAllStandardError().toStdString();
    std::vector<std::string> warnings;
    for (const QJsonObject& e : Events(out, "warning")) warnings.push_back(e["text"].toString().toStdString());
    ASSERT_EQ(warnings.size(), 1u) << out;
    EXPECT_NE(warnings[0].find("too long for a unit id"), std::string::npos) << warnings[0];
    const auto results = Events(out, "result");
    ASSERT_EQ(results.size(), 1u) << out;
    EXPECT_EQ(results[0]["unit_id"], "SN-1");
}

// A label is one unit's: scanned again it is refused, unless its unit failed and goes back into a
// slot to be loaded again, once for each failure.
TEST(UnitIds, AnIdIsGivenOnceUnlessItsUnitFailed) {
    using C = TUnitIdRegister::TClaim;
    TUnitIdRegister ids;
    const std::vector<std::pair<std::string, C>> steps = {
        {"SN-1", C::First}, {"SN-1", C::Refused}, {"failed SN-1", C::First}, {"SN-1", C::Again},
        {"SN-1", C::Refused}, {"failed SN-9", C::First}, {"SN-9", C::First},
    };
    for (const auto& [step, expected] : steps) {
        if (step.rfind("failed ", 0) == 0) {
            ids.Failed(step.substr(7));
            continue;
        }
        EXPECT_EQ(ids.Claim(step), expected) << step;
    }
}

namespace {

// A datagram socket standing in for systemd's: every state a station run as a service tells it.
struct FakeManager {
    TempDir dir;
    std::string path = dir / "notify";
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    std::vector<std::string> said;

    FakeManager() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    }
    ~FakeManager() { ::close(fd); }
    void Read() {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) said.emplace_back(buffer, static_cast<size_t>(n));
    }
    size_t Count(const std::string& state) const {
        return static_cast<size_t>(std::count(said.begin(), said.end(), state));
    }
};

// How many units the station's lines say were loaded.
int Loaded(const std::string& out) {
    int n = 0;
    for (const std::string& line : Lines(out)) n += line.size() > 9 && line.compare(line.size() - 9, 9, ": success") == 0;
    return n;
}

}  // namespace

// A station run as systemd runs it: told where systemd listens, it says it is ready once its ports
// are set up, its totals as they change, pings the watchdog from its loop (not for a watchdog that
// names another process), and that it stops; told nothing, it sends nothing. Its stdout stands for
// the journal's stream: with no journal to take them, the units' lines are still printed.
TEST(Recipe, RunAsAServiceTellsSystemdWhatItDoes) {
    Station s;
    s.Unit(1);
    s.Unit(2);
    const std::string recipe = s.root / "line.json";
    ASSERT_EQ(s.Run(QStringList{"recipe", "write", Q(recipe), "upload", Q(s.File("fw.h86", TestFirmware::Make(10, 4).hex)),
                                "--loop"} + s.Devices(2)).status, 0);
    const bool journald = fs::exists("/run/systemd/journal/socket");
    struct {
        const char* name;
        bool notify;
        const char* shell;  // before the station is exec'd, in its own process
        bool pings;
    } const rows[] = {
        {"socket and watchdog", true, "", true},
        {"the watchdog names the station", true, "export WATCHDOG_PID=$$;", true},
        {"the watchdog names another process", true, "export WATCHDOG_PID=1;", false},
        {"no socket", false, "", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakeManager systemd;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET", "WATCHDOG_PID"})
            env.remove(name);
        env.insert("HOME", Q(s.home));
        env.insert("WATCHDOG_USEC", "20000");
        if (row.notify) env.insert("NOTIFY_SOCKET", Q(systemd.path));
        QProcess p;
        p.setProcessEnvironment(env);
        const std::string journal = journald ? "" : "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1);";
        p.start("/bin/sh", {"-c", Q(row.shell + journal + " exec \"$0\" \"$@\""), Q(s.bin + "/zupflshc"), "recipe", "run",
                            Q(recipe), "--tick-ms", "2"});
        ASSERT_TRUE(p.waitForStarted());
        // Two units loaded, and a ping where one is due, are enough to have seen it all.
        std::string out;
        QElapsedTimer clock;
        clock.start();
        const auto seen = [&] {
            return Loaded(out) >= 2 && (!row.notify || systemd.Count("STATUS=2 loaded, 0 failed, 2 ports") == 1) &&
                   (!row.pings || systemd.Count("WATCHDOG=1") > 0);
        };
        while (!seen() && p.state() == QProcess::Running && clock.elapsed() < 60000) {
            p.waitForReadyRead(20);
            out += p.readAllStandardOutput().toStdString();
            systemd.Read();
        }
        ASSERT_TRUE(seen()) << out << p.readAllStandardError().toStdString();
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 130) << "a stop by systemd is a stop by signal";
        systemd.Read();
        if (!row.notify) {
            EXPECT_TRUE(systemd.said.empty());
            continue;
        }
        // Pings may come from the first turn of the loop, while the firmware is prepared.
        std::vector<std::string> states;
        std::copy_if(systemd.said.begin(), systemd.said.end(), std::back_inserter(states),
                     [](const std::string& state) { return state != "WATCHDOG=1"; });
        ASSERT_FALSE(states.empty());
        EXPECT_EQ(states.front(), "READY=1\nSTATUS=0 loaded, 0 failed, 2 ports");
        EXPECT_EQ(systemd.said.back(), "STOPPING=1") << "nothing after it, no ping either";
        EXPECT_EQ(systemd.Count("STATUS=1 loaded, 0 failed, 2 ports"), 1u) << "each total once, as it changes";
        EXPECT_EQ(systemd.Count("WATCHDOG=1") > 0, row.pings);
    }
}
