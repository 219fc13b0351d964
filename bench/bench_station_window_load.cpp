// Whether the station window's event loop stays free while the window does its heavy work: a
// firmware file of 64 MiB, 64 ports on pseudo-terminals nobody answers on, the port picker's
// listing, Add Port, Start with and without a recipe pinning the firmware, Stop (once with every
// port's close slowed) and Close. Prints the longest gap between two of the window's ticks in each
// step: how long the operator's window was ever unresponsive.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gui/StationWindow.h"
#include "host/Ports.h"
#include "host/StopSignals.h"
#include "serial/Serial4.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Firmware.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"
#include "tests/support/Window.h"

namespace {

constexpr int kPorts = 64;   // listed
constexpr int kTiles = 60;   // of them, on the window at its start
constexpr size_t kFirmwareBytes = (64u << 20) - 4096;  // the most a station takes, less the end record
constexpr int kStepMs = 120000;
// How long each port's close is held in the step that stops them all: what a receive thread slow
// to answer costs. On the loop, 60 of them would hold the window for 18 s.
constexpr auto kSlowCloseMs = std::chrono::milliseconds(300);

// A HEX file of about 64 MiB: one firmware's data records again and again (later ones overwrite
// earlier ones at the same addresses), then the end record.
std::string BigHex() {
    std::string body = TestFirmware::Make(300, 1, 1).hex;
    body.erase(body.find(":00000001FF"));
    std::string hex;
    hex.reserve(kFirmwareBytes + 16);
    while (hex.size() + body.size() < kFirmwareBytes) hex += body;
    return hex + ":00000001FF\r\n";
}

// The pseudo-terminals, listed as the system would list its adapters.
class TBenchPorts : public TPortSource {
public:
    explicit TBenchPorts(std::vector<std::string> paths) : paths_(std::move(paths)) {}
    std::vector<TPortInfo> List() override {
        std::vector<TPortInfo> list;
        for (const std::string& path : paths_) list.push_back({path, {}, "Bench", "pseudo-terminal", {}, -1, -1, {}, -1, {}});
        return list;
    }

private:
    std::vector<std::string> paths_;
};

// Runs the loop asleep until `done` holds (the window's tick wakes it every 50 ms).
bool AwaitIdly(const std::function<bool()>& done, int ms = kStepMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The longest gap between two ticks of a window's timer since the last Take().
class TGapMeter {
public:
    explicit TGapMeter(TStationWindow& window) {
        clock_.start();
        QObject::connect(Control<QTimer>(window, "StationTimer"), &QTimer::timeout, &window, [this] {
            const qint64 now = clock_.elapsed();
            if (last_ >= 0) longest_ = std::max(longest_, now - last_);
            last_ = now;
            ++ticks_;
        });
    }
    qint64 Take() {
        // A step that held the loop up to its very end shows in the gap to the next tick.
        const int ticks = ticks_;
        AwaitIdly([&] { return ticks_ > ticks; }, 60000);
        const qint64 longest = longest_;
        longest_ = 0;
        return longest;
    }

private:
    QElapsedTimer clock_;
    qint64 last_ = -1, longest_ = 0;
    int ticks_ = 0;
};

bool Step(const char* what, TGapMeter& gaps, const std::function<void()>& act, const std::function<bool()>& done) {
    gaps.Take();
    QElapsedTimer handler;
    handler.start();
    act();
    const qint64 handlerMs = handler.elapsed();
    if (!AwaitIdly(done)) {
        std::fprintf(stderr, "bench_station_window_load: %s did not end\n", what);
        return false;
    }
    std::printf("%-34s longest gap between two window ticks %5lld ms (the press itself %lld ms)\n", what,
                static_cast<long long>(gaps.Take()), static_cast<long long>(handlerMs));
    return true;
}

// Every tile whose port has opened (its unit is being woken) goes into `opened`.
void WatchOpened(TStationWindow& window, std::set<const TStationTile*>& opened) {
    opened.clear();
    for (TStationTile* tile : window.Tiles())
        tile->Watch = [&opened, tile](const TJobEvent& e) {
            if (const auto* s = std::get_if<TStageEvent>(&e); s && s->Stage == TStage::WakingUnit) opened.insert(tile);
        };
}

bool AllRunning(const TStationWindow& window) {
    const auto tiles = window.Tiles();
    return std::all_of(tiles.begin(), tiles.end(), [](const TStationTile* t) { return t->Running(); });
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    TempDir program;
    std::vector<std::unique_ptr<TestPty>> ptys;
    TStationSetup setup;
    setup.Firmware = program / "station.h86";
    WriteWholeFile(setup.Firmware, BigHex());
    std::vector<std::string> paths;
    for (int i = 0; i < kPorts; ++i) {
        ptys.push_back(std::make_unique<TestPty>());
        paths.push_back(ptys.back()->SlavePath());
        if (i < kTiles) setup.Ports.push_back({paths.back(), 0, paths.back()});
    }
    setup.ProgramFolder = program.Folder();
    setup.ModalBoxes = false;
    TStopSignals stops;
    auto window = std::make_unique<TStationWindow>(setup, stops, nullptr, [paths](const std::string& folder) {
        TBenchPorts source(paths);
        return ListPorts(folder, "/run/lock/", source);
    });
    window->resize(1024, 768);
    window->show();
    TGapMeter gaps(*window);
    TStationWindow& w = *window;
    const std::string recipe = program / "line.json";
    std::set<const TStationTile*> opened;
    auto prepared = [&] { return !w.Running() && w.Firmware().Blocks > 0; };
    auto* picker = Control<QComboBox>(w, "PortPicker");
    std::printf("%d ports listed, %d of them tiles, firmware of %zu bytes\n", kPorts, kTiles, kFirmwareBytes);
    const bool ran =
        Step("open (64 MiB prepared)", gaps, [] {}, prepared) &&
        Step("port picker and Add Port", gaps, [&] {
            picker->showPopup();
            picker->hidePopup();
            Control<QPushButton>(w, "BtnAddPort")->click();
        }, [&] { return w.Tiles().size() > static_cast<size_t>(kTiles); }) &&
        Step("Start", gaps, [&] { Control<QPushButton>(w, "BtnStart")->click(); }, [&] { return AllRunning(w); }) &&
        Step("Stop", gaps, [&] { Control<QPushButton>(w, "BtnStop")->click(); }, [&] { return !w.Running(); }) &&
        Step("Open Recipe", gaps, [&] { w.SaveRecipe(recipe) && w.OpenRecipe(recipe); }, prepared) &&
        Step("Start (recipe pins the firmware)", gaps, [&] {
            WatchOpened(w, opened);
            Control<QPushButton>(w, "BtnStart")->click();
        }, [&] { return AllRunning(w) && opened.size() == w.Tiles().size(); }) &&
        Step("Stop (each close takes 300 ms)", gaps, [&] {
            TSerial::SetCloseAsideHook([](const std::string&) { std::this_thread::sleep_for(kSlowCloseMs); });
            Control<QPushButton>(w, "BtnStop")->click();
        }, [&] { return !w.Running(); }) &&
        Step("Close", gaps, [&] { w.close(); }, [&] { return !w.isVisible(); });
    TSerial::SetCloseAsideHook({});
    if (!ran) return 1;
    for (const QString& m : w.Messages) std::printf("message: %s\n", m.toLocal8Bit().constData());
    return 0;
}
