// The station window against simulated units on pseudo-terminals: several ports at once, a unit
// that fails and a port that is missing among good ones, the next unit on each port, Stop while
// units are written, and a scanned unit id reaching the record.
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/Sha256.h"
#include "gui/FitLabel.h"
#include "gui/HelpWindow.h"
#include "gui/StationWindow.h"
#include "gui/Uflash8.h"
#include "history/HistoryStore.h"
#include "host/Ports.h"
#include "host/StopSignals.h"
#include "serial/Serial4.h"
#include "serial/serial_posix.h"
#include "tests/support/CliRun.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Firmware.h"
#include "tests/support/Pty.h"
#include "tests/support/SimUnit.h"
#include "tests/support/TempDir.h"

namespace {

// A unit that took its upload answers again once switched off and on: here by itself, soon after,
// as a line's next unit would be on the bench.
const std::vector<std::string> kNextUnitSoon = {"--restart-ms", "100", "--power-cycle-after", "100", "--verify-wait", "0"};

// The result band's colours: green for a unit loaded, red for one that failed, amber for a port
// that let the line down, grey before any unit and for one stopped.
const std::string kGreenBand = " #1e7b34", kRedBand = " #b3261e", kAmberBand = " #8a5a00", kGreyBand = " #5f6368";

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
    // The result band's word and its colour.
    std::string Band(int i) {
        auto* band = Control<QLabel>(Tile(i), "ResultBand");
        return band->text().toStdString() + " " + band->palette().color(QPalette::Window).name().toStdString();
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

QPushButton* Tile2Button(Line& line) { return Control<QPushButton>(line.Tile(2), "BtnResume"); }

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
        bool verify;
        const char* secondResult;
        std::string firstBand, secondBand;  // the band's word and colour
        const char* totals;
    };
    const Row rows[] = {
        {"all three verified", {}, true, "verified", "VERIFIED" + kGreenBand, "VERIFIED" + kGreenBand,
         "Loaded 3  \u00b7  failed 0  \u00b7  first-pass yield 100.0%"},
        {"one fails", {"--fail-at", "3"}, false, "failed: ", "LOADED" + kGreenBand, "FAILED" + kRedBand,
         "Loaded 2  \u00b7  failed 1  \u00b7  first-pass yield 66.7%"},
        {"one missing", {"missing"}, false, "port problem: ", "LOADED" + kGreenBand, "PORT PROBLEM" + kAmberBand,
         "Loaded 2  \u00b7  failed 0  \u00b7  first-pass yield 100.0%"},
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
        setup.Verify = row.verify;
        TStationWindow& w = line.Open(3, fw, setup);
        EXPECT_EQ(line.Tile(1).DoingText().toStdString(), "not started") << "the window never starts by itself";
        EXPECT_EQ(line.Band(1), "NO UNIT YET" + kGreyBand);
        Control<QPushButton>(w, "BtnStart")->click();
        ASSERT_TRUE(WaitUntil([&] {
            return line.Tile(1).Loaded() == 1 && line.Tile(3).Loaded() == 1 &&
                   line.Tile(2).ResultText().startsWith(row.secondResult);
        }, 30000)) << row.name << ": " << line.Tile(2).ResultText().toStdString();
        for (int i : {1, 3}) EXPECT_TRUE(FlashHolds(*line.units[static_cast<size_t>(i - 1)], fw.image)) << row.name;
        EXPECT_EQ(line.Band(1), row.firstBand) << row.name;
        EXPECT_EQ(line.Band(2), row.secondBand) << row.name;
        // Under the band: the reason (none for a unit loaded), then what the unit said it runs.
        EXPECT_EQ(line.TileText(2, "ResultLabel").empty(), row.verify) << line.TileText(2, "ResultLabel");
        if (row.verify) {
            EXPECT_EQ(line.TileText(2, "UnitLabel"), "software 1.01");
        }
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

// A worn socket: the port whose units fail one after another pauses after three, says why, and wakes
// nobody while the other two load theirs; its Resume button sends it on.
TEST(StationWindow, APortThatKeepsFailingPausesUntilResumed) {
    Line line;
    for (int i : {1, 3}) line.Unit(i, kNextUnitSoon);
    line.Unit(2, {"--fail-at", "2", "--fail-every-unit", "--restart-ms", "100"});
    TStationSetup setup;
    setup.Count = 4;
    TStationWindow& w = line.Open(3, TestFirmware::Make(20, 3), setup);
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return line.Tile(2).Paused(); }, 60000)) << line.TileText(2, "DoingLabel");
    EXPECT_EQ(line.TileText(2, "DoingLabel"), "paused: 3 failures in a row: check the socket and the cable");
    ASSERT_TRUE(WaitUntil([&] { return line.Tile(1).Loaded() == 4 && line.Tile(3).Loaded() == 4; }, 60000));
    EXPECT_TRUE(line.Tile(2).Paused());
    EXPECT_EQ(line.TileText(2, "TallyLabel"), "0 loaded, 3 failed");
    auto* resume = Tile2Button(line);
    ASSERT_TRUE(resume && resume->isVisible());
    resume->click();
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }, 60000)) << line.TileText(2, "DoingLabel");
    EXPECT_EQ(line.TileText(2, "TallyLabel"), "0 loaded, 4 failed");
    EXPECT_FALSE(resume->isVisible());
    // Each port's units are numbered in the record: a socket's insertions.
    std::map<std::string, std::vector<int>> numbers;
    for (const TJobRecord& r : line.Records(12)) numbers[r.PortName.toStdString()].push_back(r.PortUnit);
    for (auto& [port, units] : numbers) {
        std::sort(units.begin(), units.end());
        EXPECT_EQ(units, (std::vector<int>{1, 2, 3, 4})) << port;
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
    // The header says what every unit must pass.
    const QString header = Control<QLabel>(w, "FirmwareLabel")->text();
    EXPECT_TRUE(header.contains("every unit verified") && header.contains("software 9.<E9> required"))
        << header.toStdString();
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
    // Each unit's end is told once its record is on the station's disk; the window is done once
    // every port is let go.
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }));
    for (int i : {1, 2}) {
        int err = 0;
        const std::string lock = "/run/lock/" + serialio::LockFileName(RealPath(line.Device(i)), err);
        EXPECT_FALSE(std::filesystem::exists(lock)) << lock;
    }
    // Stopped units are counted apart, neither failed nor in the yield.
    for (int i : {1, 2}) {
        EXPECT_EQ(line.TileText(i, "ResultLabel").rfind("stopped at block ", 0), 0u) << line.TileText(i, "ResultLabel");
        EXPECT_EQ(line.Band(i), "STOPPED" + kGreyBand);
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

    auto* problem = Control<QLabel>(w, "RecipeProblemLabel");
    EXPECT_FALSE(problem->isVisibleTo(&w));

    // The file changed since the recipe was written: said at once on opening, with the remedy only
    // the engineer can apply; and nothing starts.
    WriteWholeFile(line.firmware, TestFirmware::Make(16, 5).hex);
    ASSERT_TRUE(w.OpenRecipe(recipe));
    ASSERT_TRUE(WaitUntil([&] { return !w.Running() && problem->isVisibleTo(&w); }));
    for (const char* says : {"recipe 'line3.json': the firmware '", "' is not the one the recipe pins: sha256 ",
                             "; the engineer must write the recipe again: `zupflshc recipe write "})
        EXPECT_NE(problem->text().toStdString().find(says), std::string::npos) << problem->text().toStdString();
    EXPECT_TRUE(w.Messages.empty()) << "said in the header, not in a box";
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return !w.Messages.empty() && !w.Running(); }));
    ASSERT_EQ(w.Messages.size(), 1u);
    EXPECT_NE(w.Messages[0].toStdString().find("No unit was started: recipe 'line3.json'"), std::string::npos)
        << w.Messages[0].toStdString();
    EXPECT_EQ(line.Tile(1).DoingText().toStdString(), "not started");

    WriteWholeFile(line.firmware, fw.hex);
    ASSERT_TRUE(w.OpenRecipe(recipe));
    ASSERT_TRUE(WaitUntil([&] { return !w.Running() && w.Firmware().Blocks > 0; }));
    EXPECT_FALSE(problem->isVisibleTo(&w));
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

// Slow work is done off the window's loop: with the port listing held until the test lets it go,
// the firmware is prepared, Start opens the port, Stop and Close are taken; the listing lands
// afterwards.
TEST(StationWindow, StaysResponsiveWhileThePortsAreListed) {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    Line line;
    struct TRelease {
        std::function<void()> go;
        ~TRelease() { go(); }
    } release{[&] {
        std::lock_guard lock(m);
        released = true;
        cv.notify_all();
    }};
    // Not a serial port: the tile's port fails to open and is tried again until Stop.
    const std::string device = line.Device(1);
    WriteWholeFile(device, "");
    auto lister = [&](const std::string& folder) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return released; });
        TPortListing listing;
        listing.ProgramFolder = folder;
        TSerialDevice adapter;
        adapter.Path = RealPath(device);
        adapter.ById = "/dev/serial/by-id/usb-Bench_Adapter-if00";
        listing.Devices.push_back(adapter);
        return listing;
    };
    TStationSetup setup;
    setup.Firmware = line.program / "fw.h86";
    WriteWholeFile(setup.Firmware, TestFirmware::Make(8, 3).hex);
    setup.Ports = {{device, 0, device}};
    setup.ProgramFolder = line.program.Folder();
    setup.ModalBoxes = false;
    setup.TickMs = 3;
    line.window = std::make_unique<TStationWindow>(setup, line.stops, nullptr, lister);
    TStationWindow& w = *line.window;
    w.show();
    ASSERT_TRUE(WaitUntil([&] { return !w.Running() && w.Firmware().Blocks > 0; })) << "prepared meanwhile";
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return line.Tile(1).Running(); }));
    Control<QPushButton>(w, "BtnStop")->click();
    EXPECT_TRUE(WaitUntil([&] { return !w.Running(); })) << "Stop is taken";
    EXPECT_EQ(line.TileText(1, "IdentityLabel"), device) << "the tile names its port until the listing comes";
    w.close();
    EXPECT_TRUE(WaitUntil([&] { return !w.isVisible(); })) << "Close is taken once the records are written";
    release.go();
    EXPECT_TRUE(WaitUntil([&] { return line.TileText(1, "IdentityLabel").find("by-id: usb-Bench_Adapter-if00") != std::string::npos; }))
        << line.TileText(1, "IdentityLabel");
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

// Every close of `device` handed aside is held (while Hold is on) until the test lets it go, as a
// receive thread that does not answer would hold it for up to 7.5 s; each is counted, and whether
// one ran on the test's (the window's) loop is noted.
class TCloseHold {
public:
    explicit TCloseHold(std::string device) : device_(std::move(device)) {
        TSerial::SetCloseAsideHook([this](const std::string& device) {
            if (device != device_) return;
            std::unique_lock lock(m_);
            ++held_;
            heldOnLoop_ = heldOnLoop_ || std::this_thread::get_id() == loop_;
            // Bounded, so that a close run on the loop fails the test instead of hanging it.
            cv_.wait_for(lock, std::chrono::seconds(20), [&] { return !holding_; });
        });
    }
    ~TCloseHold() {
        Hold(false);
        TSerial::SetCloseAsideHook({});
    }
    void Hold(bool on) {
        std::lock_guard lock(m_);
        holding_ = on;
        cv_.notify_all();
    }
    int Held() {
        std::lock_guard lock(m_);
        return held_;
    }
    bool HeldOnLoop() {
        std::lock_guard lock(m_);
        return heldOnLoop_;
    }

private:
    const std::string device_;
    const std::thread::id loop_ = std::this_thread::get_id();
    std::mutex m_;
    std::condition_variable cv_;
    bool holding_ = false;
    int held_ = 0;
    bool heldOnLoop_ = false;
};

// A port's close can wait: it runs off the window's loop. With the first port's close held until
// the test lets it go, the other port is let go, the window refuses Start and says why; the port
// starts again once let go, and Close waits for it the same way.
TEST(StationWindow, ClosingAPortNeverHoldsTheWindow) {
    Line line;
    std::vector<std::unique_ptr<TestPty>> ptys;
    for (int i = 1; i <= 2; ++i) {
        line.Device(i);
        ptys.push_back(std::make_unique<TestPty>());
        ptys.back()->LinkAs(line.folders[static_cast<size_t>(i - 1)]->Path(), i);
    }
    TCloseHold closes(ptys[0]->SlavePath());
    TStationWindow& w = line.Open(2, TestFirmware::Make(8, 3));
    int wakes[3] = {};
    for (int i : {1, 2})
        line.Tile(i).Watch = [&wakes, i](const TJobEvent& e) {
            if (const auto* s = std::get_if<TStageEvent>(&e); s && s->Stage == TStage::WakingUnit) ++wakes[i];
        };
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return wakes[1] > 0 && wakes[2] > 0; })) << "both ports open";

    closes.Hold(true);
    Control<QPushButton>(w, "BtnStop")->click();
    ASSERT_TRUE(WaitUntil([&] { return closes.Held() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !line.Tile(2).Releasing(); })) << "the other port is let go meanwhile";
    EXPECT_EQ(line.TileText(2, "DoingLabel"), "stopped");
    EXPECT_TRUE(line.Tile(1).Releasing());
    EXPECT_EQ(line.TileText(1, "DoingLabel"), "stopped \u00b7 closing the port ...");
    EXPECT_TRUE(w.Running());
    EXPECT_FALSE(Control<QPushButton>(w, "BtnStart")->isEnabled());
    EXPECT_FALSE(Control<QPushButton>(line.Tile(1), "BtnRemove")->isEnabled());
    closes.Hold(false);
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }));
    EXPECT_EQ(line.TileText(1, "DoingLabel"), "stopped");

    wakes[1] = 0;
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return wakes[1] > 0; })) << "the port let go opens again";
    closes.Hold(true);
    w.close();
    ASSERT_TRUE(WaitUntil([&] { return closes.Held() == 2; }));
    EXPECT_TRUE(w.isVisible()) << "Close waits for the port";
    closes.Hold(false);
    EXPECT_TRUE(WaitUntil([&] { return !w.isVisible(); }));
    EXPECT_FALSE(closes.HeldOnLoop());
}

// A line lost while its port goes on to the next unit is let go off the loop too: with its close
// held, the unit's failure is drawn, the window takes Stop and waits for the port, and the port is
// done once let go.
TEST(StationWindow, ALostLineIsLetGoOffTheLoop) {
    Line line;
    SimUnit& unit = line.Unit(1, {"--vanish-after", "3", "--restart-ms", "100"});
    TStationWindow& w = line.Open(1, TestFirmware::Make(12, 3));
    TCloseHold closes(RealPath(unit.LinkPath()));
    closes.Hold(true);
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] { return closes.Held() == 1; }, 30000)) << line.Tile(1).DoingText().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return line.Tile(1).ResultText().startsWith("failed, port problem: the line to the unit went away on "); }))
        << line.Tile(1).ResultText().toStdString();
    EXPECT_TRUE(line.Tile(1).Releasing());
    Control<QPushButton>(w, "BtnStop")->click();
    EXPECT_TRUE(WaitUntil([&] { return line.TileText(1, "DoingLabel") == "stopped \u00b7 closing the port ..."; }))
        << line.TileText(1, "DoingLabel");
    EXPECT_TRUE(w.Running());
    closes.Hold(false);
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }));
    EXPECT_EQ(line.TileText(1, "DoingLabel"), "stopped");
    EXPECT_FALSE(closes.HeldOnLoop());
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
            for (QLabel* label : tile->findChildren<QLabel*>()) {
                if (label->objectName() == "IdentityLabel") continue;  // the group says its port
                EXPECT_EQ(label->accessibleName(), label->text()) << label->objectName().toStdString();
            }
        auto* first = Control<QLineEdit>(line.Tile(1), "UnitIdBox");
        // Tab passes over what cannot take the focus and what is hidden (Go on without the record).
        QWidget* next = first->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus || next->isHidden()) next = next->nextInFocusChain();
        EXPECT_EQ(next, Control<QPushButton>(line.Tile(1), "BtnRemove"));
        next = next->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus || next->isHidden()) next = next->nextInFocusChain();
        EXPECT_EQ(next, Control<QLineEdit>(line.Tile(2), "UnitIdBox")) << "Tab goes on to the next tile";
    }
}

// What a screen reader is told, read through Qt's accessibility interface: each selector has its
// label, each tile is a group named by its port whose parts say what they are once, the toolbar
// comes first in the Tab order, no Tab stop is unnamed, and a tile scrolled away is not showing.
TEST(StationWindow, AReaderHearsEachPartOnceAndTheToolbarFirst) {
    Line line;
    TStationSetup setup;
    for (int i = 1; i <= 12; ++i) setup.Ports.push_back({"COM " + std::to_string(i), i, ""});
    setup.Ports.push_back({line.Device(13), 0, line.Device(13)});
    TStationWindow& w = line.Open(setup);
    w.resize(1024, 768);
    ASSERT_TRUE(WaitUntil([&] { return Control<QScrollArea>(w, "TileArea")->verticalScrollBar()->isVisible(); }, 3000));
    const auto face = [](QObject* o) { return QAccessible::queryAccessibleInterface(o); };
    // A selector's name on Linux is its value: its label comes through the relation.
    const auto label = [&](QWidget* selector) {
        const auto labels = face(selector)->relations(QAccessible::Label);
        return labels.isEmpty() ? face(selector)->text(QAccessible::Name) : labels[0].first->text(QAccessible::Name);
    };
    // The Tab stops from Start, in order, and those a reader could not name.
    std::vector<QWidget*> stops;
    QString unnamed, repeated;
    for (QWidget* at = Control<QPushButton>(w, "BtnStart"); stops.empty() || at != stops[0]; at = at->nextInFocusChain())
        if (at->isVisibleTo(&w) && (at->focusPolicy() & Qt::TabFocus)) {
            stops.push_back(at);
            if (label(at).isEmpty()) unnamed += at->objectName() + " ";
        }
    const auto after = [&](QWidget* a, QWidget* b) { return QString::number(std::find(stops.begin(), stops.end(), b) - std::find(stops.begin(), stops.end(), a)); };
    for (TStationTile* tile : w.Tiles()) {
        QStringList said{face(tile)->text(QAccessible::Name)};
        for (int i = 0; i < face(tile)->childCount(); ++i) {
            const QString name = face(tile)->child(i)->text(QAccessible::Name);
            if (!name.isEmpty() && said.contains(name)) repeated += said[0] + ": " + name + "; ";
            said << name;
        }
    }
    const auto offscreen = [&](QObject* o) { return QString::number(face(o)->state().offscreen); };
    QWidget* firstId = Control<QLineEdit>(line.Tile(1), "UnitIdBox");
    const std::pair<const char*, std::pair<QString, QString>> rows[] = {
        {"the baud selector's label", {label(w.findChild<QWidget*>("BaudBox")), "Baud rate"}},
        {"the port selector's label", {label(w.findChild<QWidget*>("PortPicker")), "Port to add"}},
        {"a tile's role", {QString::number(face(&line.Tile(3))->role()), QString::number(QAccessible::Grouping)}},
        {"a tile's name", {face(&line.Tile(3))->text(QAccessible::Name), "COM 3"}},
        {"a device's tile, named without its folders", {face(&line.Tile(13))->text(QAccessible::Name), "COM13"}},
        {"its id field, named by its part", {face(Control<QLineEdit>(line.Tile(13), "UnitIdBox"))->text(QAccessible::Name), "Unit id"}},
        {"names said twice in a tile", {repeated, ""}},
        {"unnamed Tab stops", {unnamed, ""}},
        {"the toolbar's last, before the first tile", {after(Control<QPushButton>(w, "BtnSaveRecipe"), firstId), "3"}},
        {"Add Port, then the first tile", {after(Control<QPushButton>(w, "BtnAddPort"), firstId), "1"}},
        {"a label in view", {offscreen(Control<QLabel>(line.Tile(1), "DoingLabel")), "0"}},
        {"a label scrolled away", {offscreen(Control<QLabel>(line.Tile(13), "DoingLabel")), "1"}},
        {"a tile scrolled away", {offscreen(&line.Tile(13)), "1"}},
    };
    for (const auto& [what, is] : rows) EXPECT_EQ(is.first.toStdString(), is.second.toStdString()) << what;
}

// Ids scanned ahead go to the tiles awaiting one; when every port has its next unit's id a scan is
// refused and left selected for the next, never queued behind one port's; a removed tile's id may
// be scanned again.
TEST(StationWindow, AScanWithEveryPortHoldingItsIdGoesToNoPortSilently) {
    Line line;
    TStationSetup setup;
    for (int i = 1; i <= 4; ++i) setup.Ports.push_back({"COM " + std::to_string(i), i, ""});
    TStationWindow& w = line.Open(setup);
    w.activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return w.isActiveWindow(); }));
    const auto box = [&](int i) { return Control<QLineEdit>(line.Tile(i), "UnitIdBox"); };
    Scan(box(1), "C001");
    ASSERT_EQ(QApplication::focusWidget(), box(2)) << "on to the next tile awaiting an id";
    Scan(box(2), "C002");
    Scan(box(1), "C003");
    EXPECT_EQ(line.TileText(3, "UnitIdLabel"), "next: C003") << "a tile holding its id passes the scan on";
    Control<QPushButton>(line.Tile(3), "BtnRemove")->click();
    ASSERT_TRUE(WaitUntil([&] { return w.Tiles().size() == 3u; }));
    Scan(box(3), "C003");
    EXPECT_EQ(line.TileText(3, "UnitIdLabel"), "next: C003") << "the removed tile's id is free again";
    Scan(box(3), "C005");
    EXPECT_EQ(box(3)->selectedText(), "C005") << "the next scan replaces it";
    EXPECT_EQ(line.TileText(3, "NoticeLabel").rfind("every port has its next unit's id", 0), 0u);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(line.Tile(i).GivenUnitIds().size(), 1u) << i;
}

// One device under a second name (a link to it, or COM n leading to it) is one port: refused when
// added, as the command line refuses it; another device is added.
TEST(StationWindow, ADeviceAddedUnderASecondNameIsRefused) {
    Line line;
    TStationWindow& w = line.Open(TStationSetup{});
    const std::string device = line.program / "ttyZ0", other = line.program / "ttyZ1", alias = line.program / "alias";
    for (const std::string& file : {device, other}) WriteWholeFile(file, "");
    for (const char* link : {"alias", "COM1"}) std::filesystem::create_symlink(device, line.program / link);
    w.AddPort({device, 0, device});
    const std::pair<TStationPort, size_t> rows[] = {{{alias, 0, alias}, 1}, {{"COM 1", 1, ""}, 1}, {{other, 0, other}, 2}};
    for (const auto& [port, tiles] : rows) {
        const size_t said = w.Messages.size();
        w.AddPort(port);
        EXPECT_EQ(w.Tiles().size(), tiles) << port.Name;
        const bool refused = w.Messages.size() > said && w.Messages.back().contains("are the same device");
        EXPECT_EQ(refused, tiles == 1) << port.Name;
    }
}

// A unit silent mid-transfer is said so, for how long, without a time left; one whose line went
// (the device fails on read) is a lost line at once, in the tile's words and the record's alike.
TEST(StationWindow, AUnitThatStopsAnsweringIsSaidSoAndALostLineIsTheRecordsReason) {
    for (const char* fault : {"--silent-after", "--vanish-after"}) {
        Line line;
        line.Unit(1, {fault, "5", "--restart-ms", "100"});
        TStationSetup setup;
        setup.Count = 1;
        TStationWindow& w = line.Open(1, TestFirmware::Make(40, 3), setup);
        Control<QPushButton>(w, "BtnStart")->click();
        if (fault == std::string("--silent-after")) {
            ASSERT_TRUE(WaitUntil([&] { return line.Tile(1).DoingText().startsWith("no answer from the unit for "); }, 30000))
                << line.Tile(1).DoingText().toStdString();
            EXPECT_EQ(line.TileText(1, "TimeLeftLabel"), "") << "the estimate stops while the unit is silent";
            ASSERT_TRUE(WaitUntil([&] { return line.Tile(1).Loaded() == 1; }, 30000)) << "it answers again and loads";
            continue;
        }
        const QString lost = "failed, port problem: the line to the unit went away on ";
        ASSERT_TRUE(WaitUntil([&] { return line.Tile(1).ResultText().startsWith(lost); }, 30000))
            << line.Tile(1).ResultText().toStdString();
        const auto records = line.Records(1);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].Reason, line.Tile(1).ResultText().mid(22)) << "the record says what the tile says";
        EXPECT_TRUE(records[0].Reason.endsWith(": Input/output error")) << records[0].Reason.toStdString();
        EXPECT_EQ(line.TileText(1, "TallyLabel"), "0 loaded, 1 failed");
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
        // The checks of a station at the terminal are the window's too.
        {{"station", "fw.h86", "--verify", "--expect-version", "2.14", "--require-unit-id"}, 2, "no display found"},
        {{"station", Q(recipe), "--verify"}, 2, "a recipe fixes the ports, the baud, the count, the record and the checks"},
    };
    for (const Row& row : rows) {
        const Outcome r = cli.Run(row.args);
        EXPECT_EQ(r.status, row.status) << row.args.join(' ').toStdString() << "\n" << r.err;
        EXPECT_NE((r.out + r.err).find(row.says), std::string::npos) << row.args.join(' ').toStdString() << "\n" << r.err;
    }
}

// Every text of a tile is whole and in sight, at 1024 x 768 with eight tiles and in any font: a long
// device name, a port waiting for an id, a port problem with its remedy, a notice. A label wraps and
// its tile grows; past its lines the rest is an ellipsis with the whole text in the tooltip.
TEST(StationWindow, EveryTextOfATileFitsInsideIt) {
    Line line;
    std::vector<std::unique_ptr<TestPty>> ptys;
    TStationSetup setup;
    setup.RequireUnitId = true;  // a port that opened waits for its id: nothing is written
    setup.Firmware = line.program / "fw.h86";
    WriteWholeFile(setup.Firmware, TestFirmware::Make(8, 3).hex);
    for (int i = 1; i <= 8; ++i) {
        std::string device = line.program / ("pci-0000:00:14.0-usb-0:1." + std::to_string(i) + ":1.0-port0");
        if (i % 2) {
            ptys.push_back(std::make_unique<TestPty>());
            std::filesystem::create_symlink(ptys.back()->SlavePath(), device);
        }
        setup.Ports.push_back({device, 0, device});
    }
    TStationWindow& w = line.Open(setup);
    w.resize(1024, 768);
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] {
        for (int i = 1; i <= 8; ++i)
            if (!line.Tile(i).DoingText().startsWith(i % 2 ? "scan the next unit's id" : "the port is not there")) return false;
        // A missing port's diagnosis comes from a worker: the texts must all be there before they are measured.
        for (int i = 2; i <= 8; i += 2)
            if (!line.Tile(i).ResultText().startsWith("port problem")) return false;
        return true;
    }, 20000)) << line.Tile(2).DoingText().toStdString();
    line.Tile(3).SayNotice("the record went to history.sqlite in the program folder: the server did not answer in time");
    const QStringList families =
        QFontDatabase::families().mid(0, 6) + QStringList{"Nimbus Sans", "DejaVu Sans", "Liberation Sans", "Monospace"};
    auto* board = Control<QWidget>(w, "TileBoard");
    for (const QString& family : families) {
        for (int points : {7, 11, 17}) {
            const std::string font = family.toStdString() + " " + std::to_string(points) + " pt";
            board->setFont(QFont(family, points));
            for (int settle = 0; settle < 3; ++settle) QCoreApplication::processEvents();
            EXPECT_FALSE(Control<QScrollArea>(w, "TileArea")->horizontalScrollBar()->isVisible()) << font;
            for (TStationTile* tile : w.Tiles()) {
                std::vector<QWidget*> shown;
                for (QWidget* child : tile->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
                    if (child->isVisibleTo(tile)) shown.push_back(child);
                for (QWidget* a : shown) {
                    const std::string name = a->objectName().toStdString() + " in " + font;
                    EXPECT_TRUE(tile->contentsRect().contains(a->geometry())) << name;
                    for (QWidget* b : shown) {
                        if (a == b) continue;
                        EXPECT_FALSE(a->geometry().intersects(b->geometry())) << name << " over " << b->objectName().toStdString();
                    }
                    auto* label = qobject_cast<TFitLabel*>(a);
                    if (!label) continue;
                    EXPECT_GE(label->height(), label->heightForWidth(label->width())) << name << ": " << label->text().toStdString();
                    bool cut = false;
                    label->Lines(label->contentsRect().width(), &cut);
                    // The tooltip holds it whole (a port problem's also says the system's reason).
                    if (cut) {
                        EXPECT_TRUE(label->toolTip().contains(label->text())) << name << ": " << label->text().toStdString();
                    }
                }
            }
        }
    }
    w.StopClick();
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }));
}

// A port that never opened in a run is a fact the line's summary counts: recorded once, at its
// end, as the command line's station records it; a port that opened leaves no such record.
TEST(StationWindow, APortThatNeverOpenedIsRecordedOnce) {
    Line line;
    TestPty pty;
    const std::string there = line.program / "there";
    std::filesystem::create_symlink(pty.SlavePath(), there);
    TStationSetup setup;
    setup.RequireUnitId = true;
    setup.Firmware = line.program / "fw.h86";
    WriteWholeFile(setup.Firmware, TestFirmware::Make(8, 3).hex);
    setup.Ports = {{there, 0, there}, {line.program / "missing", 0, line.program / "missing"}};
    TStationWindow& w = line.Open(setup);
    Control<QPushButton>(w, "BtnStart")->click();
    ASSERT_TRUE(WaitUntil([&] {
        return line.Tile(1).DoingText().startsWith("scan the next unit's id") && line.Tile(2).ResultText().startsWith("port problem");
    }, 20000));
    w.StopClick();
    ASSERT_TRUE(WaitUntil([&] { return !w.Running(); }));
    const auto records = line.Records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Result, "port_failed");
    EXPECT_EQ(records[0].RunId.toStdString(), w.RunId());
    EXPECT_EQ(Control<QTreeWidget>(w, "UnitList")->topLevelItemCount(), 0) << "no unit was reached";
}

// Help and F1 open the station's own topic in the help window, wherever the focus is.
TEST(StationWindow, HelpAndF1OpenTheStationsTopic) {
    for (const bool f1 : {false, true}) {
        Line line;
        std::filesystem::copy_file(std::string(ZUP_SOURCE_DIR) + "/resources/ZURuzada.HLP", line.program / "ZURuzada.HLP");
        TStationWindow& w = line.Open(TStationSetup{});
        if (f1) {
            auto* box = Control<QComboBox>(w, "PortPicker");
            box->setFocus();
            QKeyEvent press(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
            QCoreApplication::sendEvent(box, &press);
        } else {
            Control<QPushButton>(w, "BtnHelp")->click();
        }
        auto* help = w.findChild<THelpWindow*>("HelpWindow");
        ASSERT_NE(help, nullptr) << f1;
        EXPECT_TRUE(help->isVisible()) << f1;
        EXPECT_EQ(help->CurrentTopic(), 10) << f1;
        EXPECT_TRUE(w.Messages.empty()) << w.Messages.front().toStdString();
    }
}
