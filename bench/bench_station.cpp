// How a station keeps up with the wire: the command line as one process driving 1, 2, 4, 8, 16, 32
// and 64 simulated units at once, each pacing what it says and what it hears at the line's own
// speed (57600 baud, 10 bits a character), at the real 50 ms tick. Prints, for each, the slowest
// and the median unit's block transfer against the wire's floor for the same bytes, the process's
// CPU seconds per unit upload and its peak memory.
#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/BlockTimes.h"
#include "bench/ProgramRun.h"
#include "firmware/UploadFile.h"
#include "tests/support/Firmware.h"
#include "tests/support/SimUnit.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

constexpr int kBlocks = 300;
constexpr int kBaud = 57600;

int Station(int units, const std::string& firmware) {
    std::vector<std::unique_ptr<TempDir>> folders;
    std::vector<std::unique_ptr<SimUnit>> sims;
    // --loop --count 1 makes even one port a station: its events carry the unit and the time.
    std::vector<std::string> args = {std::string(ZUP_RUNTIME_DIR) + "/zupflshc", "upload", firmware, "--json",
                                     "--baud", std::to_string(kBaud), "--loop", "--count", "1"};
    for (int i = 1; i <= units; ++i) {
        folders.push_back(std::make_unique<TempDir>());
        sims.push_back(std::make_unique<SimUnit>(folders.back()->Path(), i, std::vector<std::string>{"--pace", "--restart-ms", "100"}));
        args.insert(args.end(), {"--device", sims.back()->LinkPath()});
    }
    const TRun run = RunProgram(args);
    const auto times = BlockTimes(run.out, kBlocks);
    if (run.status != 0 || static_cast<int>(times.size()) != units) {
        std::fprintf(stderr, "bench_station: %d units: status %d, %zu units transferred\n", units, run.status, times.size());
        return 1;
    }
    const double floorMs = WireFloorMs(kBlocks, kBaud);
    std::vector<double> ratios;
    for (const auto& [unit, t] : times) ratios.push_back(floorMs / static_cast<double>(t.second - t.first));
    std::sort(ratios.begin(), ratios.end());
    const double slowest = ratios.front();
    const double median = ratios.size() % 2 ? ratios[ratios.size() / 2]
                                            : (ratios[ratios.size() / 2 - 1] + ratios[ratios.size() / 2]) / 2;
    const double cpu = run.usage.ru_utime.tv_sec + run.usage.ru_utime.tv_usec / 1e6 + run.usage.ru_stime.tv_sec +
                       run.usage.ru_stime.tv_usec / 1e6;
    std::printf("%5d  %13.3f  %12.3f  %17.3f  %13.1f\n", units, slowest, median, cpu / units,
                run.usage.ru_maxrss / 1024.0);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TempDir work;
    const std::string firmware = work.Path() + "/station.h86";
    WriteWholeFile(firmware, TestFirmware::Make(kBlocks, 1, 1).hex);
    std::printf("%d blocks at %d baud, wire floor %.0f ms a unit\n", kBlocks, kBaud,
                WireFloorMs(kBlocks, kBaud));
    std::printf("units  slowest/wire  median/wire  CPU s/unit-upload  peak RSS MiB\n");
    int failed = 0;
    for (int units : {1, 2, 4, 8, 16, 32, 64}) failed += Station(units, firmware);
    return failed ? 1 : 0;
}
