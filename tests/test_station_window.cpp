// The station window against simulated units on pseudo-terminals: several ports at once, a unit
// that fails and a port that is missing among good ones, the next unit on each port, Stop while
// units are written, and a scanned unit id reaching the record.
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Sha256.h"
#include "gui/StationWindow.h"
#include "gui/Uflash8.h"
#include "history/HistoryStore.h"
#include "host/StopSignals.h"
#include "serial/serial_posix.h"
#include "tests/support/CliRun.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Firmware.h"
#include "tests/support/SimUnit.h"
#include "tests/support/TempDir.h"

namespace {

// A unit that took its upload answers again once switched off and on: here by itself, soon after,
// as a line's next unit would be on the bench.
const std::vector<std::string> kNextUnitSoon = {"--restart-ms", "100", "--power-cycle-after", "100", "--verify-wait", "0"};

// The window in a program folder of its own, and a unit per port, each in a folder of its own and
// opened by its device path <folder>/COM<n>.
struct Line {
    TempDir program;
    std::vector<std::unique_ptr<TempDir>> folders;
    std::vector<std::unique_ptr<SimUnit>> units;
    TStopSignals stops;
    std::unique_ptr<TStationWindow> window;
    std::string firmware;

    std::string Device(int i) {
        while (static_cast<int>(folders.size()) < i) folders.push_back(std::make_unique<TempDir>());
        return folders[static_cast<size_t>(i - 1)]->Path() + "/COM" + std::to_string(i);
    }
    SimUnit& Unit(int i, const std::vector<std::string>& args = {"--restart-ms", "100"}) {
        Device(i);
        if (static_cast<int>(units.size()) < i) units.resize(static_cast<size_t>(i));
        auto& unit = units[static_cast<size_t>(i - 1)];
        unit = std::make_unique<SimUnit>(folders[static_cast<size_t>(i - 1)]->Path(), i, args);
        return *unit;
    }
    // The window on `ports` devices with `fw` chosen, prepared and waiting for Start.
    TStationWindow& Open(int ports, const TestFirmware& fw, TStationSetup setup = {}) {
        firmware = program / "fw.h86";
        WriteWholeFile(firmware, fw.hex);
        setup.Firmware = firmware;
        for (int i = 1; i <= ports; ++i) setup.Ports.push_back({Device(i), 0, Device(i)});
        return Open(setup);
    }
    TStationWindow& Open(TStationSetup setup) {
        window.reset();
        setup.ProgramFolder = program.Folder();
        setup.ModalBoxes = false;
        setup.TickMs = 3;
        window = std::make_unique<TStationWindow>(setup, stops);
        window->show();
        if (!setup.Firmware.empty()) {
            EXPECT_TRUE(WaitUntil([&] { return !window->Running() && window->Firmware().Blocks > 0; }));
        }
        return *window;
    }
    TStationTile& Tile(int i) { return *window->Tiles()[static_cast<size_t>(i - 1)]; }
    std::string TileText(int i, const char* label) {
        return Control<QLabel>(Tile(i), label)->text().toStdString();
    }
    std::vector<TJobRecord> Records(size_t expected) {
        EXPECT_TRUE(WaitUntil([&] { return window->RecordsTried() >= static_cast<int>(expected); }));
        QString error;
        auto store = THistoryStore::Open(QString::fromStdString(program / "history.sqlite"), error);
        std::vector<TJobRecord> rows;
        EXPECT_TRUE(store && store->Query({}, rows, error)) << error.toStdString();
        return rows;
    }
};

std::string RealPath(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? real : path;
}

// What a barcode scanner does: the id's characters, then Enter.
void Scan(QLineEdit* box, const QString& id) {
    box->setFocus();
    box->insert(id);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(box, &press);
}

}  // namespace

TEST(StationWindow, ThreePortsEachWithItsOwnResult) {
    struct Row {
        const char* name;
        std::vector<std::string> second;  // the second unit's switches; "missing": plugged in later
        const char* secondResult;
        const char* totals;
    };
    const Row rows[] = {
        {"all three", {}, "loaded", "Loaded 3  \u00b7  failed 0  \u00b7  first-pass yield 100.0%"},
        {"one fails", {"--fail-at", "3"}, "failed: ", "Loaded 2  \u00b7  failed 1  \u00b7  first-pass yield 66.7%"},
        {"one missing", {"missing"}, "port problem: ", "Loaded 2  \u00b7  failed 0  \u00b7  first-pass yield 100.0%"},
    };
    const TestFirmware fw = TestFirmware::Make(40, 7);
    for (const Row& row : rows) {
        Line line;
        for (int i : {1, 3}) line.Unit(i);
        const bool missing = !row.second.empty() && row.second[0] == "missing";
        std::vector<std::string> second = row.second;
        second.insert(second.end(), {"--restart-ms", "100"});
        if (!missing) line.Unit(2, second);
        TStationSetup setup;
        setup.Count = 1;
        TStationWindow& w = line.Open(3, fw, setup);
        EXPECT_EQ(line.Tile(1).DoingText().toStdString(), "not started") << "the window never starts by itself";
        Control<QPushButton>(w, "BtnStart")->click();
        ASSERT_TRUE(WaitUntil([&] {
            return line.Tile(1).Loaded() == 1 && line.Tile(3).Loaded() == 1 &&
                   line.Tile(2).ResultText().startsWith(row.secondResult);
        }, 30000)) << row.name << ": " << line.Tile(2).ResultText().toStdString();
        for (int i : {1, 3}) EXPECT_TRUE(FlashHolds(*line.units[static_cast<size_t>(i - 1)], fw.image)) << row.name;
        const std::string totals = Control<QLabel>(w, "TotalsLabel")->text().toStdString();
        EXPECT_EQ(totals.substr(0, totals.find("  \u00b7  ", totals.find("yield"))), row.totals) << row.name;
        if (missing) {
            // The port is waited for in its tile while the others go on; plugged in, it loads.
            EXPECT_NE(line.TileText(2, "DoingLabel").find("not there: waiting for it"), std::string::npos) << line.TileText(2, "DoingLabel");
            line.Unit(2);
            ASSERT_TRUE(WaitUntil([&] { return line.Tile(2).Loaded() == 1; }, 30000)) << line.TileText(2, "DoingLabel");
        }
        const auto records = line.Records(3);
        ASSERT_EQ(records.size(), 3u) << row.name;
        for (const TJobRecord& r : records) {
            EXPECT_EQ(r.RunId.toStdString(), w.RunId()) << row.name;
            EXPECT_EQ(r.InputFile.toStdString(), line.firmware) << "the record names the file the operator chose";
            EXPECT_EQ(r.InputSha256.toStdString(), Sha256Hex(fw.hex));
        }
        EXPECT_EQ(Control<QTreeWidget>(w, "UnitList")->topLevelItemCount(), 3) << row.name;
        EXPECT_TRUE(WaitUntil([&] { return !w.Running(); })) << "each port ends after its one unit";
    }
}

// A reason with a byte that is not UTF-8 (the version required, as a setup may hold it): the tile,
// the list of units and the record show it alike, the byte as <E9>, as the JSON events do.
TEST(StationWindow, AReasonThatIsNotUtf8IsShownAlikeEverywhere) {
    Line line;
    line.Unit(1);
    TStationSetup setup;
    setup.Count = 1;
    setup.Verify = true;
    setup.ExpectVersion = "9.\xE9";
    TStationWindow& w = line.Open(1, TestFirmware::Make(10, 5), setup);
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return line.Tile(1).ResultText().startsWith("failed: "); }, 30000))
        << line.Tile(1).ResultText().toStdString();
    const QString reason = "software version different: unit 1.01, required 9.<E9>";
    EXPECT_EQ(line.Tile(1).ResultText(), "failed: " + reason);
    EXPECT_EQ(Control<QTreeWidget>(w, "UnitList")->topLevelItem(0)->text(4), reason);
    const auto records = line.Records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Reason, reason);
}

TEST(StationWindow, EachPortGoesOnToItsNextUnit) {
    Line line;
    line.Unit(1, kNextUnitSoon);
    line.Unit(2, kNextUnitSoon);
    TStationSetup setup;
    setup.Count = 2;
    TStationWindow& w = line.Open(2, TestFirmware::Make(20, 3), setup);
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }, 60000));
    for (int i : {1, 2}) {
        EXPECT_EQ(line.TileText(i, "TallyLabel"), "2 loaded, 0 failed");
        EXPECT_EQ(line.TileText(i, "DoingLabel"), "done");
    }
    const auto records = line.Records(4);
    ASSERT_EQ(records.size(), 4u);
    // Prepared once, in memory: nothing beside the firmware, and every unit got those blocks.
    EXPECT_FALSE(std::filesystem::exists(line.program / "fw.ZUP") || std::filesystem::exists(line.program / "fw.BIN"));
    for (const TJobRecord& r : records) {
        EXPECT_EQ(r.UploadSha256, records[0].UploadSha256);
        EXPECT_EQ(r.UploadSha256.toStdString(), line.units[0]->Report()["upload_sha256"]);
    }
}

// A record location the operator named is asked away from the window (a server may take its time):
// one that can never work starts no unit; one that can takes every unit's record.
TEST(StationWindow, ANamedRecordLocationIsCheckedBeforeAnyUnit) {
    Line line;
    line.Unit(1);
    const TestFirmware fw = TestFirmware::Make(10, 2);
    TStationSetup setup;
    setup.Count = 1;
    setup.RecordDb = line.program / "records";
    std::filesystem::create_directories(setup.RecordDb);
    TStationWindow& refused = line.Open(1, fw, setup);
    Control<QPushButton>(refused, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return !refused.Messages.empty(); }));
    EXPECT_EQ(refused.Messages[0].toStdString().rfind("No unit was started: the record database cannot be used", 0),
              0u) << refused.Messages[0].toStdString();
    EXPECT_FALSE(refused.Running());
    EXPECT_EQ(line.units[0]->Report()["wakeups"], "0");
    setup.RecordDb = line.program / "line.sqlite";
    TStationWindow& w = line.Open(1, fw, setup);
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return w.RecordsTried() >= 1 && !w.Running(); }, 60000));
    QString error;
    auto store = THistoryStore::Open(QString::fromStdString(setup.RecordDb), error);
    std::vector<TJobRecord> rows;
    ASSERT_TRUE(store && store->Query({}, rows, error)) << error.toStdString();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Result, "sent");
}

// A record nothing can keep (the record and its journal both in the way) holds its port before the
// next unit, the tile red with why; the operator's Go on wakes the next unit, Stop ends the port.
// The header counts the records kept nowhere, and Start counts anew.
TEST(StationWindow, ARecordNothingCanKeepHoldsThePortUntilTheOperatorGoesOn) {
    Line line;
    for (int i : {1, 2}) line.Unit(i, kNextUnitSoon);
    std::filesystem::create_directories(line.program / "history.sqlite");
    std::filesystem::create_directories(line.program / "history.sqlite.jsonl");
    TStationWindow& w = line.Open(2, TestFirmware::Make(10, 2));
    int nextUnits[2] = {0, 0};
    for (int i : {0, 1})
        line.Tile(i + 1).Watch = [&nextUnits, i](const TJobEvent& e) {
            if (std::holds_alternative<TNextUnitEvent>(e)) ++nextUnits[i];
        };
    Control<QPushButton>(w, "BtnStart")->click();
    const auto held = [&](int i) { return line.TileText(i, "DoingLabel") == "held: the last unit has no record"; };
    ASSERT_TRUE(WaitUntil([&] { return held(1) && held(2); }, 30000)) << line.TileText(1, "DoingLabel");
    for (int i : {1, 2}) {
        EXPECT_EQ(line.TileText(i, "ResultLabel"), "record not kept: is a directory");
        EXPECT_EQ(line.TileText(i, "TallyLabel"), "1 loaded, 0 failed");
        EXPECT_TRUE(Control<QPushButton>(line.Tile(i), "BtnGoOnUnrecorded")->isVisible());
        EXPECT_EQ(nextUnits[i - 1], 0) << "no unit is woken after one without a record";
    }
    EXPECT_EQ(Control<QLabel>(w, "RecordLabel")->text().toStdString().rfind("2 records were kept nowhere: ", 0), 0u)
        << Control<QLabel>(w, "RecordLabel")->text().toStdString();
    Control<QPushButton>(line.Tile(1), "BtnGoOnUnrecorded")->click();
    ASSERT_TRUE(WaitUntil([&] { return nextUnits[0] > 0; }));
    EXPECT_FALSE(Control<QPushButton>(line.Tile(1), "BtnGoOnUnrecorded")->isVisible());
    EXPECT_TRUE(held(2));
    w.StopWhileWritingAnswer = true;
    Control<QPushButton>(w, "BtnStop")->click();
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }));
    EXPECT_EQ(line.TileText(2, "DoingLabel"), "stopped");
    EXPECT_EQ(nextUnits[1], 0);
    EXPECT_EQ(line.units[1]->Report()["uploads"], "1");
    // The next run counts its own.
    std::filesystem::remove(line.program / "history.sqlite");
    std::filesystem::remove(line.program / "history.sqlite.jsonl");
    Control<QPushButton>(w, "BtnStart")->click();
    EXPECT_EQ(Control<QLabel>(w, "RecordLabel")->text().toStdString(), "");
    Control<QPushButton>(w, "BtnStop")->click();
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }));
}

// Stop is there the moment Start is pressed, while the firmware is read again: it withdraws the
// Start, and no unit is woken.
TEST(StationWindow, StopRightAfterStartWakesNoUnit) {
    Line line;
    for (int i : {1, 2}) line.Unit(i);
    TStationWindow& w = line.Open(2, TestFirmware::Make(10, 2));
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(w.Running());
    auto* stop = Control<QPushButton>(w, "BtnStop");
    EXPECT_TRUE(stop->isEnabled());
    stop->click();
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }));
    for (int i : {1, 2}) {
        EXPECT_EQ(line.Tile(i).DoingText().toStdString(), "not started");
        EXPECT_EQ(line.units[static_cast<size_t>(i - 1)]->Report()["wakeups"], "0");
    }
    EXPECT_TRUE(Control<QPushButton>(w, "BtnStart")->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
}

// Started again without the units switched off and on: their wake-ups go unanswered, which is a
// port waiting for its next unit, not a failure; the last unit's result stays.
TEST(StationWindow, AWakeUpNobodyAnsweredIsNoFailure) {
    Line line;
    line.Unit(1);
    TStationSetup setup;
    setup.Count = 1;
    TStationWindow& w = line.Open(1, TestFirmware::Make(10, 2), setup);
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }, 30000));
    ASSERT_EQ(line.Tile(1).ResultText().toStdString(), "loaded");
    int unanswered = 0;
    line.Tile(1).Watch = [&](const TJobEvent& e) {
        if (const auto* end = std::get_if<TUnitEndedEvent>(&e); end && !end->Counted) ++unanswered;
    };
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return unanswered >= 2; }, 30000));
    EXPECT_EQ(line.Tile(1).ResultText().toStdString(), "loaded");
    EXPECT_EQ(line.TileText(1, "TallyLabel"), "0 loaded, 0 failed");
    Control<QPushButton>(w, "BtnStop")->click();
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }));
    EXPECT_EQ(line.Tile(1).ResultText().toStdString(), "loaded");
}

TEST(StationWindow, StopWhileUnitsAreWrittenAsksThenReleasesEveryPort) {
    Line line;
    // Paced at the line's speed: the transfer lasts long enough to be stopped half way.
    for (int i : {1, 2}) line.Unit(i, {"--pace", "--restart-ms", "100"});
    TStationWindow& w = line.Open(2, TestFirmware::Make(300, 5, 1));
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return line.Tile(1).Writing() && line.Tile(2).Writing(); }, 30000));
    w.StopWhileWritingAnswer = false;
    Control<QPushButton>(w, "BtnStop")->click();
    ASSERT_EQ(w.Questions.size(), 1u);
    EXPECT_NE(w.Questions[0].toStdString().find("2 units are being written"), std::string::npos);
    EXPECT_TRUE(w.Running()) << "No goes on loading";
    w.StopWhileWritingAnswer = true;
    Control<QPushButton>(w, "BtnStop")->click();
    // The ports go at once; each unit's end is told once its record is on the station's disk.
    for (int i : {1, 2}) {
        int err = 0;
        const std::string lock = "/run/lock/" + serialio::LockFileName(RealPath(line.Device(i)), err);
        EXPECT_FALSE(std::filesystem::exists(lock)) << lock;
    }
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }));
    // Stopped units are counted apart, neither failed nor in the yield.
    for (int i : {1, 2}) {
        EXPECT_EQ(line.TileText(i, "ResultLabel").rfind("stopped at block ", 0), 0u) << line.TileText(i, "ResultLabel");
        EXPECT_EQ(line.TileText(i, "TallyLabel"), "0 loaded, 0 failed, 1 stopped");
    }
    for (const TJobRecord& r : line.Records(2)) EXPECT_EQ(r.Result, "interrupted");
    EXPECT_EQ(Control<QLabel>(w, "TotalsLabel")->text().toStdString(), "Loaded 0  \u00b7  failed 0  \u00b7  stopped 2");
    EXPECT_TRUE(Control<QPushButton>(w, "BtnStart")->isEnabled());
}

TEST(StationWindow, AScannedUnitIdGoesWithThePortsNextUnitIntoItsRecord) {
    Line line;
    line.Unit(1);
    line.Unit(2);
    TStationWindow& w = line.Open(2, TestFirmware::Make(12, 9));
    w.activateWindow();
    auto* first = Control<QLineEdit>(line.Tile(1), "UnitIdBox");
    auto* second = Control<QLineEdit>(line.Tile(2), "UnitIdBox");
    EXPECT_EQ(first->accessibleName().toStdString(), line.Device(1) + " unit id");
    // Stop's accelerator while Stop is disabled (and Start's, as it reaches the field when Start is)
    // types nothing into the id.
    first->setFocus();
    for (const auto& [key, letter] : {std::pair{Qt::Key_T, "t"}, std::pair{Qt::Key_S, "s"}}) {
        QKeyEvent alt(QEvent::KeyPress, key, Qt::AltModifier, letter);
        QCoreApplication::sendEvent(first, &alt);
    }
    EXPECT_EQ(first->text().toStdString(), "");
    Scan(first, "SN-0001");
    EXPECT_EQ(QApplication::focusWidget(), second) << "on to the next tile awaiting an id";
    Scan(second, "SN-0001");
    EXPECT_NE(line.TileText(2, "NoticeLabel").find("given already"), std::string::npos) << "an id is one unit's";
    second->clear();
    Scan(second, "SN-0002");
    EXPECT_EQ(line.TileText(1, "UnitIdLabel"), "next: SN-0001") << "an id given before Start waits for it";
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return line.Tile(1).Loaded() == 1 && line.Tile(2).Loaded() == 1; }, 30000));
    std::map<std::string, std::string> ids;
    for (const TJobRecord& r : line.Records(2)) ids[r.Device.toStdString()] = r.UnitId.toStdString();
    EXPECT_EQ(ids, (std::map<std::string, std::string>{{RealPath(line.Device(1)), "SN-0001"}, {RealPath(line.Device(2)), "SN-0002"}}));
    EXPECT_EQ(line.TileText(1, "UnitIdLabel"), "no unit id given") << "the next unit awaits an id of its own";
}

// A recipe saved from the window fixes the file, the ports and the checks: the operator can neither
// choose another file nor add or remove a port, a changed firmware is refused before any port
// opens, a required id holds its port's unit, and the records name the recipe.
TEST(StationWindow, ARecipeLocksTheFileAndThePorts) {
    Line line;
    line.Unit(1);
    line.Unit(2);
    const TestFirmware fw = TestFirmware::Make(16, 4);
    TStationSetup first;
    first.RequireUnitId = true;
    first.Count = 1;
    const std::string recipe = line.program / "line3.json";
    ASSERT_TRUE(line.Open(2, fw, first).SaveRecipe(recipe)) << line.window->Messages.back().toStdString();
    TStationSetup setup;
    std::string error;
    ASSERT_TRUE(StationSetupOfRecipe(recipe, setup, error)) << error;
    TStationWindow& w = line.Open(setup);
    for (const char* name : {"BtnChooseFile", "BtnAddPort", "PortPicker", "BaudBox"})
        EXPECT_FALSE(w.findChild<QWidget*>(name)->isVisibleTo(&w)) << name;
    EXPECT_FALSE(Control<QPushButton>(line.Tile(1), "BtnRemove")->isVisibleTo(&w));
    w.ChooseFirmware(line.program / "other.h86");
    w.AddPort({"COM 5", 5, ""});
    EXPECT_EQ(w.Tiles().size(), 2u);
    EXPECT_NE(Control<QLabel>(w, "FirmwareLabel")->text().toStdString().find("recipe line3.json"), std::string::npos);

    // The file changed since the recipe was written: nothing starts.
    WriteWholeFile(line.firmware, TestFirmware::Make(16, 5).hex);
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_EQ(w.Messages.size(), 1u);
    EXPECT_NE(w.Messages[0].toStdString().find("No unit was started: recipe 'line3.json'"), std::string::npos)
        << w.Messages[0].toStdString();
    EXPECT_EQ(line.Tile(1).DoingText().toStdString(), "not started");

    WriteWholeFile(line.firmware, fw.hex);
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] {
        return line.Tile(1).DoingText().startsWith("scan the next unit") && line.Tile(2).DoingText().startsWith("scan the next unit");
    }));
    Scan(Control<QLineEdit>(line.Tile(1), "UnitIdBox"), "A-1");
    ASSERT_TRUE(WaitUntil([&] { return line.Tile(1).Loaded() == 1; }, 30000)) << line.Tile(1).DoingText().toStdString();
    EXPECT_TRUE(line.Tile(2).DoingText().startsWith("scan the next unit")) << "held until it has its id";
    const auto records = line.Records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].UnitId, "A-1");
    EXPECT_EQ(records[0].Recipe, "line3.json");
    EXPECT_FALSE(records[0].RecipeSha256.isEmpty());
    w.StopClick();
    EXPECT_TRUE(w.Questions.empty());
}

// Under a policy that requires signed recipes the window loads no unit without one, its Open
// Recipe refuses an unsigned recipe with the reason, and a signed one's signer heads the window
// and reaches every record.
TEST(StationWindow, ARequiringPolicyLoadsSignedRecipesOnly) {
    Line line;
    line.Unit(1);
    TPublicKey eng;
    std::string error;
    ASSERT_TRUE(MakeKeyPair(line.program / "eng", eng, error)) << error;
    const std::string policy = line.program / "policy.json";
    WriteWholeFile(policy, R"({"trusted_keys": ["eng.pub"], "require_signed_recipes": true})");
    TStationSetup setup;
    setup.Count = 1;
    ASSERT_TRUE(LoadStationPolicy(policy, setup.Policy, error)) << error;
    TStationWindow& w = line.Open(1, TestFirmware::Make(12, 2), setup);
    const auto header = [&] { return Control<QLabel>(w, "FirmwareLabel")->text().toStdString(); };
    EXPECT_NE(header().find("signed recipes only"), std::string::npos) << header();
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_EQ(w.Messages.size(), 1u);
    EXPECT_EQ(w.Messages[0].toStdString(),
              "No unit was started: this station loads signed recipes only (policy " + policy + "): open a signed recipe.");
    EXPECT_EQ(line.Tile(1).DoingText().toStdString(), "not started");

    const std::string recipe = line.program / "line1.json";
    ASSERT_TRUE(w.SaveRecipe(recipe));
    EXPECT_FALSE(w.OpenRecipe(recipe));
    EXPECT_NE(w.Messages.back().toStdString().find("recipe 'line1.json' is not signed, and this station loads signed"),
              std::string::npos)
        << w.Messages.back().toStdString();
    EXPECT_EQ(line.units[0]->Report()["wakeups"], "0");

    TRecipeSignature signature;
    ASSERT_TRUE(SignRecipeFile(recipe, line.program / "eng.key", signature, error)) << error;
    ASSERT_TRUE(w.OpenRecipe(recipe)) << w.Messages.back().toStdString();
    EXPECT_NE(header().find("recipe line1.json, signed by eng (key " + eng.Id + ")"), std::string::npos) << header();
    ASSERT_TRUE(WaitUntil([&] { return w.Firmware().Blocks > 0; }));
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return line.Tile(1).Loaded() == 1; }, 30000)) << line.Tile(1).DoingText().toStdString();
    const auto records = line.Records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].RecipeKeyId.toStdString(), eng.Id);
}

// Eight tiles fit a 1024 x 768 screen; more scroll. Every text is what a screen reader reads,
// every unit id field says whose it is, and the keyboard reaches it all.
TEST(StationWindow, EightTilesFitTheScreenAndEveryTextIsReadOut) {
    struct Row {
        int ports;
        bool scrolls;
    };
    for (const Row row : {Row{8, false}, Row{12, true}}) {
        Line line;
        TStationSetup setup;
        for (int i = 1; i <= row.ports; ++i) setup.Ports.push_back({"COM " + std::to_string(i), i, ""});
        TStationWindow& w = line.Open(setup);
        w.resize(1024, 768);
        auto* area = Control<QScrollArea>(w, "TileArea");
        EXPECT_TRUE(WaitUntil([&] { return area->verticalScrollBar()->isVisible() == row.scrolls; }, 3000)) << row.ports;
        EXPECT_FALSE(area->horizontalScrollBar()->isVisible()) << row.ports;
        EXPECT_EQ(Control<QPushButton>(w, "BtnStart")->text(), "&Start");
        EXPECT_EQ(Control<QPushButton>(w, "BtnStop")->text(), "S&top");
        for (TStationTile* tile : w.Tiles())
            for (QLabel* label : tile->findChildren<QLabel*>())
                EXPECT_EQ(label->accessibleName(), label->text()) << label->objectName().toStdString();
        auto* first = Control<QLineEdit>(line.Tile(1), "UnitIdBox");
        EXPECT_EQ(first->accessibleName(), "COM 1 unit id");
        // Tab passes over what cannot take the focus and what is hidden (Go on without the record).
        QWidget* next = first->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus || next->isHidden()) next = next->nextInFocusChain();
        EXPECT_EQ(next, Control<QPushButton>(line.Tile(1), "BtnRemove"));
        next = next->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus || next->isHidden()) next = next->nextInFocusChain();
        EXPECT_EQ(next, Control<QLineEdit>(line.Tile(2), "UnitIdBox")) << "Tab goes on to the next tile";
    }
}

// `zupflshc station` as a process: what it refuses before any window opens.
TEST(StationWindow, TheStationCommandRefusesWhatARecipeOrTheWindowCannotTake) {
    struct Row {
        QStringList args;
        int status;
        const char* says;
    };
    Cli cli;
    const std::string recipe = cli.File("line3.json", "{}");
    const Row rows[] = {
        {{"station", "--help"}, 0, "  station [FILE]    open the station window"},
        {{"station", "--loop"}, 2, "station does not take --loop"},
        {{"station", Q(recipe), "--port", "2"}, 2, "a recipe fixes the ports"},
        {{"station", Q(recipe), "--baud=57600"}, 2, "a recipe fixes the ports, the baud"},
        {{"station", Q(cli.root / "missing.json")}, 2, "recipe '"},
        {{"station", "fw.h86"}, 2, "no display found"},
    };
    for (const Row& row : rows) {
        const Outcome r = cli.Run(row.args);
        EXPECT_EQ(r.status, row.status) << row.args.join(' ').toStdString() << "\n" << r.err;
        EXPECT_NE((r.out + r.err).find(row.says), std::string::npos) << row.args.join(' ').toStdString() << "\n" << r.err;
    }
}
