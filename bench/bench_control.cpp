// What the control socket costs the wire: 16 simulated units at 57600 baud, paced at the line's own
// speed, on a station held until `start` with four subscribed clients, one of which never reads.
// Prints the slowest and the median unit's block transfer against the wire's floor (the station
// must keep the slowest at 0.95 or better), the events each reading client got, and the process's
// CPU seconds per unit upload.
#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"
#include "bench/BlockTimes.h"
#include "bench/ProgramRun.h"
#include "firmware/UploadFile.h"
#include "tests/support/Firmware.h"
#include "tests/support/SimUnit.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

constexpr int kUnits = 16;
constexpr int kBlocks = 300;
constexpr int kBaud = 57600;
constexpr int kClients = 4;        // the last one never reads

TUniqueFd Connect(const std::string& path) {
    TUniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::strncpy(to.sun_path, path.c_str(), sizeof to.sun_path - 1);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) fd.Reset();
    return fd;
}

void Send(int fd, const std::string& line) { [[maybe_unused]] const ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL); }

// The readers' lines until the station closes them all: results and all lines per client.
std::vector<std::pair<int, int>> ReadUntilClosed(std::vector<TUniqueFd>& readers) {
    std::vector<std::pair<int, int>> counts(readers.size());
    std::vector<std::string> pending(readers.size());
    for (size_t open = readers.size(); open > 0;) {
        std::vector<pollfd> fds;
        for (const TUniqueFd& r : readers) fds.push_back({r.Get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 1000) < 0) break;
        for (size_t i = 0; i < readers.size(); ++i) {
            if (!readers[i].Valid() || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[65536];
            const ssize_t n = ::read(readers[i].Get(), buffer, sizeof buffer);
            if (n <= 0) {
                readers[i].Reset();
                --open;
                continue;
            }
            pending[i].append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending[i].find('\n')) != std::string::npos; pending[i].erase(0, end + 1)) {
                counts[i].second += 1;
                if (pending[i].substr(0, end).find("\"event\":\"result\"") != std::string::npos) counts[i].first += 1;
            }
        }
    }
    return counts;
}

// One run of the station, with the control socket and its subscribers or without: the units'
// transfer against the wire, slowest first; empty when the run failed.
std::vector<double> Station(const std::string& firmware, bool control) {
    TempDir work;
    const std::string socket = work.Path() + "/run/station.sock";
    std::vector<std::unique_ptr<TempDir>> folders;
    std::vector<std::unique_ptr<SimUnit>> sims;
    std::vector<std::string> args = {std::string(ZUP_RUNTIME_DIR) + "/zupflshc", "upload", firmware, "--json",
                                     "--baud", std::to_string(kBaud), "--loop", "--count", "1"};
    if (control) args.insert(args.end(), {"--control", "unix:" + socket, "--hold"});
    for (int i = 1; i <= kUnits; ++i) {
        folders.push_back(std::make_unique<TempDir>());
        sims.push_back(std::make_unique<SimUnit>(folders.back()->Path(), i, std::vector<std::string>{"--pace", "--restart-ms", "100"}));
        args.insert(args.end(), {"--device", sims.back()->LinkPath()});
    }
    TRun run;
    std::thread station([&] { run = RunProgram(args); });
    std::vector<TUniqueFd> clients;
    for (int tries = 0; control && clients.size() < kClients && tries < 6000; ++tries) {
        TUniqueFd fd = Connect(socket);
        if (fd.Valid()) clients.push_back(std::move(fd));
        else ::poll(nullptr, 0, 10);
    }
    if (control && clients.size() == kClients) {
        for (const TUniqueFd& c : clients) Send(c.Get(), "{\"cmd\":\"subscribe\"}\n");
        Send(clients.front().Get(), "{\"cmd\":\"start\"}\n");
        TUniqueFd silent = std::move(clients.back());
        clients.pop_back();
        const auto counts = ReadUntilClosed(clients);
        for (size_t i = 0; i < counts.size(); ++i)
            std::printf("  reading client %zu: %d results, %d lines\n", i + 1, counts[i].first, counts[i].second);
    }
    station.join();
    const auto times = BlockTimes(run.out, kBlocks);
    if (run.status != 0 || static_cast<int>(times.size()) != kUnits) {
        std::fprintf(stderr, "bench_control: status %d, %zu units transferred\n", run.status, times.size());
        return {};
    }
    const double floorMs = WireFloorMs(kBlocks, kBaud);
    std::vector<double> ratios;
    for (const auto& [unit, t] : times) ratios.push_back(floorMs / static_cast<double>(t.second - t.first));
    std::sort(ratios.begin(), ratios.end());
    const double cpu = run.usage.ru_utime.tv_sec + run.usage.ru_utime.tv_usec / 1e6 + run.usage.ru_stime.tv_sec +
                       run.usage.ru_stime.tv_usec / 1e6;
    std::printf("%-28s slowest/wire %.3f  median/wire %.3f  CPU s/unit-upload %.3f  peak RSS %.1f MiB\n",
                control ? "with 4 subscribers:" : "without the control socket:", ratios.front(),
                ratios[ratios.size() / 2], cpu / kUnits, run.usage.ru_maxrss / 1024.0);
    std::fflush(stdout);
    return ratios;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TempDir work;
    const std::string firmware = work.Path() + "/station.h86";
    WriteWholeFile(firmware, TestFirmware::Make(kBlocks, 1, 1).hex);
    std::printf("%d units, %d blocks at %d baud, wire floor %.0f ms a unit; %d subscribers, one never reading\n",
                kUnits, kBlocks, kBaud, WireFloorMs(kBlocks, kBaud), kClients);
    const std::vector<double> without = Station(firmware, false);
    const std::vector<double> with = Station(firmware, true);
    return !without.empty() && !with.empty() && with.front() >= 0.95 ? 0 : 1;
}
