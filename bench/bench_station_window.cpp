// Whether the station window keeps up with the wire: 16 tiles against 16 simulated units pacing
// what they say and what they hear at 57600 baud (10 bits a character), at the real 50 ms tick,
// all in the one window. Prints every unit's block transfer against the wire's floor for the same
// bytes (the slowest and the median), and the longest gap between two of the window's ticks
// meanwhile: how long the operator's window was ever unresponsive.
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BlockTimes.h"
#include "bench/IdleLoop.h"
#include "firmware/UploadFile.h"
#include "gui/StationWindow.h"
#include "gui/Uflash8.h"
#include "host/StopSignals.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Firmware.h"
#include "tests/support/SimUnit.h"
#include "tests/support/TempDir.h"

namespace {

constexpr int kUnits = 16;
constexpr int kBlocks = 300;
constexpr int kBaud = 57600;

struct TTimes {
    qint64 First = -1, Last = -1;
};

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    TempDir program;
    std::vector<std::unique_ptr<TempDir>> folders;
    std::vector<std::unique_ptr<SimUnit>> sims;
    TStationSetup setup;
    setup.Firmware = program / "station.h86";
    WriteWholeFile(setup.Firmware, TestFirmware::Make(kBlocks, 1, 1).hex);
    for (int i = 1; i <= kUnits; ++i) {
        folders.push_back(std::make_unique<TempDir>());
        sims.push_back(std::make_unique<SimUnit>(folders.back()->Path(), i, std::vector<std::string>{"--pace", "--restart-ms", "100"}));
        setup.Ports.push_back({sims.back()->LinkPath(), 0, sims.back()->LinkPath()});
    }
    setup.Baud = kBaud;
    setup.Count = 1;
    setup.ProgramFolder = program.Folder();
    setup.ModalBoxes = false;
    TStopSignals stops;
    TStationWindow window(setup, stops);
    window.resize(1024, 768);
    window.show();
    if (!WaitUntil([&] { return !window.Running() && window.Firmware().Blocks == kBlocks; }, 60000)) {
        std::fprintf(stderr, "bench_station_window: the firmware was not prepared\n");
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    std::map<size_t, TTimes> times;
    const auto tiles = window.Tiles();
    for (size_t i = 0; i < tiles.size(); ++i)
        tiles[i]->Watch = [&, i](const TJobEvent& event) {
            const auto* p = std::get_if<TProgressEvent>(&event);
            if (p && p->Sent == 1) times[i].First = clock.elapsed();
            if (p && p->Sent == p->Total && p->Total > 0) times[i].Last = clock.elapsed();
        };
    // The longest gap over the whole run (the preparation at Start, the ports opening, every unit's
    // end) and while every unit is in its block transfer, as the single window's benchmark takes it.
    qint64 lastTick = -1, longestGap = 0, longestInTransfer = 0;
    auto inTransfer = [&] {
        for (size_t i = 0; i < tiles.size(); ++i)
            if (times[i].First < 0 || times[i].Last >= 0) return false;
        return true;
    };
    QObject::connect(Control<QTimer>(window, "StationTimer"), &QTimer::timeout, &window, [&] {
        const qint64 now = clock.elapsed();
        if (lastTick >= 0) longestGap = std::max(longestGap, now - lastTick);
        if (lastTick >= 0 && inTransfer()) longestInTransfer = std::max(longestInTransfer, now - lastTick);
        lastTick = now;
    });
    Control<QPushButton>(window, "BtnStart")->click();
    if (!AwaitIdly([&] { return !window.Running(); }, 600000)) {
        std::fprintf(stderr, "bench_station_window: the units did not end\n");
        return 1;
    }
    const double floorMs = WireFloorMs(kBlocks, kBaud);
    std::vector<double> ratios;
    for (const auto& [tile, t] : times)
        if (t.First >= 0 && t.Last > t.First) ratios.push_back(floorMs / static_cast<double>(t.Last - t.First));
    if (static_cast<int>(ratios.size()) != kUnits) {
        std::fprintf(stderr, "bench_station_window: %zu of %d units transferred\n", ratios.size(), kUnits);
        return 1;
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("%d tiles, %d blocks at %d baud, wire floor %.0f ms a unit\n", kUnits, kBlocks, kBaud, floorMs);
    std::printf("slowest unit/wire %.3f, median %.3f\n", ratios.front(), ratios[ratios.size() / 2]);
    std::printf("longest gap between two window ticks: %lld ms while every unit is in its transfer, "
                "%lld ms over the whole run\n",
                static_cast<long long>(longestInTransfer), static_cast<long long>(longestGap));
    return 0;
}
