// A day of uploads in a minute: consecutive Software Uploads into the simulated unit, the real
// window (headless) and serial component, every fault the simulated unit can play taken in turn
// (line noise, a slow unit, resend requests, base-index lines, the unit's failure, an erase error
// or timeout, silence, no ERASING, no THANK YOU, a vanished line, a wrong checksum, no answer to
// SWR? or FCS?), with uploads of 2000 blocks or more where the fault is in the verification.
// Every run ends as a success (the flash must then hold the image), a detected failure, or -
// never acceptable - a false success: the window says the upload worked while the unit's flash
// differs from the image. The table gives the outcomes per fault class; the program's resident
// memory after a warm-up is compared with that at the end.
//
// Usage: bench_soak [--rounds N] [--seed S] [--growth-kib K]
// Exit code 0 when there was no false success, no run that failed to come to rest, and memory grew
// by at most K KiB (default 16384).
#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/Firmware.h"
#include "tests/support/SimUnit.h"
#include "tests/support/Window.h"

namespace {

constexpr int kTickMs = 1;

long ResidentKiB() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// One fault class: the simulated unit's switches for a run, and whether the fault lies in the
// checksum comparison (which only uploads of 2000 blocks or more go through).
enum class TFile { Whole, CutShort, NoData, CorruptZup };

struct TFaultClass {
    std::string name;
    std::vector<std::string> args;  // "@" stands for a block number picked per run
    bool verification = false;
    TFile file = TFile::Whole;      // anything but a whole file must never reach the unit
};

const std::vector<TFaultClass>& FaultClasses() {
    static const std::vector<TFaultClass> classes = {
        {"none", {}},
        {"none, verified", {}, true},
        {"noise", {"--noise", "--seed", "@"}},
        {"slow unit", {"--slow", "5"}},
        {"base index line", {"--base-index-at", "@"}},
        {"resend request", {"--resend-at", "@"}},
        {"silence", {"--silent-after", "@"}},
        {"unit's failure", {"--fail-at", "@"}},
        {"erase error", {"--erase-error"}},
        {"erase timeout", {"--erase-timeout"}},
        {"no ERASING", {"--no-erasing"}},
        {"erase never ends", {"--no-erase-complete"}},
        {"invalid start", {"--invalid-start"}},
        {"no THANK YOU", {"--no-thank-you"}},
        {"line vanishes", {"--vanish-after", "@"}},
        {"wrong checksum", {"--wrong-checksum"}, true},
        {"no SWR answer", {"--no-swr"}, true},
        {"no FCS answer", {"--no-fcs"}, true},
        {"endless resend", {"--resend-forever", "@"}},
        {"endless silence", {"--mute-at", "@"}},
        {"truncated HEX", {}, false, TFile::CutShort},
        {"empty image", {}, false, TFile::NoData},
        {"corrupt .zup", {}, false, TFile::CorruptZup},
    };
    return classes;
}

enum class TOutcome { Success, DetectedFailure, FalseSuccess, Stuck };

struct TTally {
    int runs = 0, successes = 0, detected = 0, falseSuccesses = 0, stuck = 0;
};

// A file that is not a whole image: its preparation must refuse it, and even a Start must not
// reach the unit.
TOutcome RunBadFile(ProgramSession& s, SimUnit& sim, const TestFirmware& fw, TFile file, std::mt19937& rng,
                    std::string& why) {
    std::string name = "soak.h86", content;
    switch (file) {
    case TFile::CutShort: content = fw.hex.substr(0, fw.hex.size() * std::uniform_int_distribution<size_t>(1, 15)(rng) / 16); break;
    case TFile::NoData: content = ":00000001FF\r\n"; break;
    default: {
        if (!s.OpenPort() || !s.PrepareFile("whole.h86", fw.hex)) return why = "not ready", TOutcome::Stuck;
        content = ReadWholeFile(s.Home() + "whole.ZUP");
        content[std::uniform_int_distribution<size_t>(0, content.size() - 5)(rng)] ^= 0x01;
        name = "soak.zup";
        Control<QPushButton>(s.F(), "BtnBackToStart")->click();
    }
    }
    if (!s.OpenPort()) return why = "port did not open", TOutcome::Stuck;
    if (s.PrepareFile(name, content)) {
        why = "the file was taken for an upload";
        return TOutcome::FalseSuccess;
    }
    // Start, though it is not on offer: the engine must refuse to wake the unit for a refused file.
    Control<QPushButton>(s.F(), "BtnStartRun")->click();
    s.WaitIdle(5000);
    if (sim.Report()["wakeups"] != "0") {
        why = "the unit was woken up for it";
        return TOutcome::FalseSuccess;
    }
    why = "refused";
    return TOutcome::DetectedFailure;
}

// One upload with a fresh window and unit; the outcome, and why when it was no success.
TOutcome RunOnce(const TFaultClass& fault, std::mt19937& rng, std::string& why) {
    const int blocks = fault.verification ? std::uniform_int_distribution<int>(2000, 2100)(rng)
                                          : std::uniform_int_distribution<int>(16, 24)(rng);
    std::vector<std::string> args = {"--restart-ms", "100"};
    for (const std::string& a : fault.args)
        args.push_back(a == "@" ? std::to_string(std::uniform_int_distribution<int>(1, 15)(rng)) : a);
    ProgramSession s(kTickMs);
    SimUnit sim(s.Folder(), 1, args);
    TForm1& f = s.F();
    const TestFirmware fw = TestFirmware::Make(blocks, rng(), fault.verification ? 1 : 3);
    if (fault.file != TFile::Whole) return RunBadFile(s, sim, fw, fault.file, rng, why);
    if (!s.OpenPort() || !s.PrepareFile("soak.h86", fw.hex)) {
        why = "not ready to upload: " + Control<QLabel>(f, "Label12")->text().toStdString();
        return TOutcome::Stuck;
    }
    if (!s.StartAndWait(120000)) {
        why = "did not come to rest, state " + std::to_string(f.Engine().UploadState());
        return TOutcome::Stuck;
    }
    const std::string verdict = Control<QLabel>(f, "Label15")->text().toStdString();
    const bool saysOk = verdict == "Checksums match, Upload successful" ||
                        (verdict == "Software Upload complete" && blocks < 2000);
    if (!saysOk) {
        why = verdict + " / " + Control<QLabel>(f, "Label2")->text().toStdString();
        return verdict == "Software Upload complete" ? TOutcome::FalseSuccess : TOutcome::DetectedFailure;
    }
    sim.Report();
    if (sim.Flash() == fw.image) return TOutcome::Success;
    why = "the unit's flash differs from the image";
    return TOutcome::FalseSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 2;
    unsigned seed = 20240611;
    long allowedGrowthKiB = 16384;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--rounds") rounds = std::atoi(argv[i + 1]);
        else if (a == "--seed") seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (a == "--growth-kib") allowedGrowthKiB = std::atol(argv[i + 1]);
    }
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QApplication app(argc, argv);

    std::mt19937 rng(seed);
    std::map<std::string, TTally> table;
    long rssStart = -1;
    const auto began = std::chrono::steady_clock::now();
    for (int round = 1; round <= rounds; ++round) {
        if (round == 2) rssStart = ResidentKiB();  // after the first round, which warms up
        for (const TFaultClass& fault : FaultClasses()) {
            std::string why;
            TOutcome outcome = TOutcome::Stuck;
            try {
                outcome = RunOnce(fault, rng, why);
            } catch (const std::exception& e) {
                why = std::string("exception: ") + e.what();
            }
            TTally& t = table[fault.name];
            ++t.runs;
            switch (outcome) {
            case TOutcome::Success: ++t.successes; break;
            case TOutcome::DetectedFailure: ++t.detected; break;
            case TOutcome::FalseSuccess: ++t.falseSuccesses; break;
            case TOutcome::Stuck: ++t.stuck; break;
            }
            if (outcome == TOutcome::FalseSuccess || outcome == TOutcome::Stuck || std::getenv("ZUP_SOAK_VERBOSE"))
                std::printf("round %d, %s: %s %s\n", round, fault.name.c_str(),
                            outcome == TOutcome::Stuck ? "STUCK" : outcome == TOutcome::FalseSuccess ? "FALSE SUCCESS" : "",
                            why.c_str());
            std::fflush(stdout);
        }
    }
    const long rssEnd = ResidentKiB();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    TTally all;
    std::printf("%-18s %5s %9s %8s %15s %5s\n", "fault class", "runs", "successes", "detected", "false successes",
                "stuck");
    for (const TFaultClass& fault : FaultClasses()) {
        const TTally& t = table[fault.name];
        std::printf("%-18s %5d %9d %8d %15d %5d\n", fault.name.c_str(), t.runs, t.successes, t.detected,
                    t.falseSuccesses, t.stuck);
        all.runs += t.runs, all.successes += t.successes, all.detected += t.detected;
        all.falseSuccesses += t.falseSuccesses, all.stuck += t.stuck;
    }
    std::printf("%-18s %5d %9d %8d %15d %5d\n", "all", all.runs, all.successes, all.detected, all.falseSuccesses,
                all.stuck);
    std::printf("%d rounds in %.0f s, seed %u\n", rounds, seconds, seed);
    std::printf("VmRSS after the first round: %ld KiB, at the end: %ld KiB (growth %ld KiB, allowed %ld)\n", rssStart,
                rssEnd, rssEnd - rssStart, allowedGrowthKiB);
    const bool grew = rssStart >= 0 && rssEnd - rssStart > allowedGrowthKiB;
    if (all.falseSuccesses > 0 || all.stuck > 0 || grew) {
        std::printf("SOAK FAILED\n");
        return 1;
    }
    std::printf("SOAK PASSED\n");
    return 0;
}
