// Whether the production record ever holds up a station: the command line as one process driving 8
// simulated units at 57600 baud (each pacing both directions at the line's speed), two units a port
// (--loop --count 2) with the units' transfers spread out, so that records are written while the other
// ports transfer. Once recording to a local file, once to a server address that accepts the
// connection and never answers. Prints for each the slowest transfer against the wire's floor and the
// longest gap between two blocks of one unit (the event loop's responsiveness during the transfers;
// a block takes about 26 ms on the wire), what storing each unit's record before its end is told
// costs the port (median and longest), and afterwards where the records are.
#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/BlockTimes.h"
#include "bench/ProgramRun.h"
#include "firmware/UploadFile.h"
#include "history/HistoryStore.h"
#include "tests/support/Firmware.h"
#include "tests/support/SimUnit.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

constexpr int kUnits = 8;
constexpr int kBlocks = 300;
constexpr int kBaud = 57600;

struct TFigures {
    double slowest = 1e9;  // the slowest transfer's wire floor / its time
    qint64 longestGapMs = 0;
    int transfers = 0;
    std::vector<qint64> holdsMs;  // each unit's record: from the unit's last event to its result
};

// Every transfer of every unit from the --json block events: its length, and its longest gap.
TFigures Measure(const std::string& out) {
    const double floorMs = WireFloorMs(kBlocks, kBaud);
    std::map<std::string, std::pair<int, qint64>> last;  // unit -> (block, time)
    std::map<std::string, qint64> first;
    std::map<QString, qint64> previous;
    TFigures f;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const QJsonObject e = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        const qint64 at = QDateTime::fromString(e["time"].toString(), Qt::ISODateWithMs).toMSecsSinceEpoch();
        // The result is told once the unit's record is stored: the wait since the unit's last event
        // is what storing it cost the port.
        if (e["event"] == "result" && previous.count(e["unit"].toString())) f.holdsMs.push_back(at - previous[e["unit"].toString()]);
        previous[e["unit"].toString()] = at;
        if (e["event"] != "block") continue;
        const std::string unit = e["unit"].toString().toStdString();
        const int block = e["block"].toInt();
        const qint64 ms = QDateTime::fromString(e["time"].toString(), Qt::ISODateWithMs).toMSecsSinceEpoch();
        if (block == 1) first[unit] = ms;
        else if (last.count(unit) && last[unit].first == block - 1)
            f.longestGapMs = std::max(f.longestGapMs, ms - last[unit].second);
        if (block == kBlocks && first.count(unit)) {
            f.slowest = std::min(f.slowest, floorMs / static_cast<double>(ms - first[unit]));
            ++f.transfers;
        }
        last[unit] = {block, ms};
    }
    return f;
}

// The program linked into a folder of its own, which is then its program folder: the fallback file
// is that folder's history.sqlite.
int Station(const char* name, const std::string& recordDb, const TempDir& bin, const std::string& firmware) {
    std::vector<std::unique_ptr<TempDir>> folders;
    std::vector<std::unique_ptr<SimUnit>> sims;
    std::vector<std::string> args = {bin.Path() + "/zupflshc", "upload", firmware, "--json", "--baud",
                                     std::to_string(kBaud), "--loop", "--count", "2", "--record-db", recordDb};
    for (int i = 1; i <= kUnits; ++i) {
        folders.push_back(std::make_unique<TempDir>());
        // Each unit erases a little longer than the one before: their transfers are spread out, so
        // that each unit's end (and record) falls in the middle of the other ports' transfers.
        const std::string erase = std::to_string(200 + 600 * (i - 1));
        sims.push_back(std::make_unique<SimUnit>(folders.back()->Path(), i,
                                                 std::vector<std::string>{"--pace", "--erase-ms", erase,
                                                                          // the next unit of the loop
                                                                          "--power-cycle-after", "100", "--verify-wait", "0"}));
        args.insert(args.end(), {"--device", sims.back()->LinkPath()});
    }
    const TRun run = RunProgram(args);
    TFigures f = Measure(run.out);
    if (run.status != 0 || f.transfers != 2 * kUnits) {
        std::fprintf(stderr, "bench_record: %s: status %d, %d transfers\n", name, run.status, f.transfers);
        return 1;
    }
    std::sort(f.holdsMs.begin(), f.holdsMs.end());
    const qint64 medianHold = f.holdsMs.empty() ? 0 : f.holdsMs[f.holdsMs.size() / 2];
    const qint64 longestHold = f.holdsMs.empty() ? 0 : f.holdsMs.back();
    std::printf("%-32s  %13.3f  %16lld  %12lld  %11lld\n", name, f.slowest, static_cast<long long>(f.longestGapMs),
                static_cast<long long>(medianHold), static_cast<long long>(longestHold));
    std::fflush(stdout);
    return 0;
}

// Where the records are: how many rows, how many marked to be forwarded.
void Records(const char* name, const std::string& path) {
    QString error;
    TStoreOptions reading;
    reading.ReadOnly = true;
    auto store = THistoryStore::Open(QString::fromStdString(path), error, reading);
    int rows = 0, pending = 0;
    if (store) store->Query({}, [&](const TJobRecord& r) { ++rows, pending += r.ForwardPending; }, error);
    std::printf("%s: %d records, %d marked to be forwarded%s%s\n", name, rows, pending, error.isEmpty() ? "" : ": ",
                error.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TempDir work, bin;
    const std::string firmware = work.Path() + "/station.h86";
    WriteWholeFile(firmware, TestFirmware::Make(kBlocks, 1, 1).hex);
    std::filesystem::copy_file(std::string(ZUP_RUNTIME_DIR) + "/zupflshc", bin.Path() + "/zupflshc");
    // A server that takes the connection and never says a word.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        std::perror("bench_record: listening socket");
        return 1;
    }
    const std::string silent = "postgresql://bench@127.0.0.1:" + std::to_string(ntohs(at.sin_port)) + "/mxr2";
    std::printf("%d units, %d blocks each, twice, at %d baud; wire floor %.0f ms a transfer\n", kUnits, kBlocks, kBaud,
                WireFloorMs(kBlocks, kBaud));
    std::printf("%-32s  %13s  %16s  %12s  %11s\n", "recording to", "slowest/wire", "longest gap ms",
                "record ms, median", "longest");
    int failed = Station("a local file", work.Path() + "/local.sqlite", bin, firmware);
    failed += Station("a server that never answers", silent, bin, firmware);
    ::close(listener);
    Records("local file", work.Path() + "/local.sqlite");
    Records("fallback file after the silent server", bin.Path() + "/history.sqlite");
    return failed ? 1 : 0;
}
