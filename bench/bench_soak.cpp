// A day of uploads in a few minutes: 200 consecutive Software Uploads of small files into the
// simulated unit, with faults picked at random per run from a fixed seed. Every run ends as a
// success (the flash must then hold the image), a detected failure, or - never acceptable - a
// false success: the window says the upload worked while the unit's flash differs from the image.
// The program's resident memory after a warm-up is compared with that at the end.
//
// Usage: bench_soak [--runs N] [--seed S] [--growth-kib K]
// Exit code 0 when there was no false success, no run that failed to come to rest, and memory grew
// by at most K KiB (default 16384).
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QComboBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/Uflash8.h"
#include "records/Chfile1.h"
#include "tests/support/Firmware.h"
#include "tests/support/EventLoop.h"
#include "tests/support/SimUnit.h"

namespace {

constexpr int kTickMs = 2;
constexpr int kWarmUpRuns = 10;


long ResidentKiB() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// One fault set: the simulated unit's switches for a run.
struct TFaults {
    std::string name;
    std::vector<std::string> args;
};

TFaults PickFaults(std::mt19937& rng, int blocks) {
    std::uniform_int_distribution<int> kind(0, 9), at(1, blocks);
    switch (kind(rng)) {
    case 0: return {"noise", {"--noise", "--seed", std::to_string(rng() % 1000)}};
    case 1: return {"slow 5", {"--slow", "5"}};
    case 2: {
        const std::string n = std::to_string(at(rng));
        return {"base-index-at " + n, {"--base-index-at", n}};
    }
    case 3: {
        const std::string n = std::to_string(at(rng));
        return {"fail-at " + n, {"--fail-at", n}};
    }
    case 4: return {"erase-error", {"--erase-error"}};
    case 5: return {"invalid-start", {"--invalid-start"}};
    case 6: {
        const std::string n = std::to_string(at(rng));
        return {"resend-at " + n, {"--resend-at", n}};
    }
    default: return {"none", {}};  // about a third of the runs see no fault
    }
}

// The program's window and its file chooser in folders of their own, with the unit beside them.
struct TStation {
    QTemporaryDir programDir, homeDir;
    std::unique_ptr<TMainWindow> window;
    std::unique_ptr<SimUnit> sim;

    explicit TStation(const std::vector<std::string>& simArgs) {
        TForm1Options o;
        o.TickMs = kTickMs;
        o.ProgramFolder = Folder();
        o.Maximise = false;
        o.ModalBoxes = false;
        window = BuildMainWindow(o, Home());
        F().show();
        if (!WaitUntil([&] { return F().FormActivated() && F().Timer1->isActive(); }, 10000)) throw std::runtime_error("window not active");
        std::vector<std::string> args = simArgs;
        args.insert(args.end(), {"--restart-ms", "100"});
        sim = std::make_unique<SimUnit>(Folder(), 1, args);
    }
    ~TStation() {
        F().Timer1->stop();
        sim.reset();
        window.reset();
    }
    std::string Folder() const { return programDir.path().toStdString() + "/"; }
    std::string Home() const { return homeDir.path().toStdString() + "/"; }
    TForm1& F() { return *window->Form1; }

    // Opens the port, chooses the file and waits for the ready screen. False (with a reason) if
    // the program did not get there.
    bool Prepare(const std::string& name, const std::string& content, std::string& why) {
        WriteFile(Home() + name, content);
        F().CommPortBox->setEditText("1");
        F().BaudRateBox->setEditText("38400");
        F().Btn2Upload->click();
        if (!WaitUntil([&] { return F().BtnChooseFile->isVisibleTo(&F()); }, 10000)) {
            why = "no file choice after opening the port: " + F().Label12->text().toStdString();
            return false;
        }
        window->Form2->SetCurrentDirectory(homeDir.path());
        QTimer::singleShot(0, window->Form2.get(), [this, name] {
            auto* box = window->Form2->findChild<QLineEdit*>("FileNameBox");
            auto* ok = window->Form2->findChild<QPushButton*>("BtnOK");
            if (!box || !ok) return;
            box->setText(QString::fromStdString(name));
            ok->click();
        });
        F().BtnChooseFile->click();
        if (!WaitUntil([&] { return F().Engine.UploadState == 0 && F().BtnStartRun->isVisibleTo(&F()); }, 20000)) {
            why = "not ready to upload after choosing the file";
            return false;
        }
        return true;
    }
};

enum class TOutcome { Success, DetectedFailure, FalseSuccess, Stuck };

}  // namespace

int main(int argc, char** argv) {
    int runs = 200;
    unsigned seed = 20240611;
    long allowedGrowthKiB = 16384;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--runs") runs = std::atoi(argv[i + 1]);
        else if (a == "--seed") seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (a == "--growth-kib") allowedGrowthKiB = std::atol(argv[i + 1]);
    }
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QApplication app(argc, argv);

    std::mt19937 rng(seed);
    std::unique_ptr<TStation> station;
    std::string lastFaults;
    bool lastFinished = false;
    TestFirmware fw;
    int successes = 0, detected = 0, falseSuccesses = 0, stuck = 0, repeats = 0, fresh = 0;
    long rssStart = -1;
    const auto began = std::chrono::steady_clock::now();

    for (int run = 1; run <= runs; ++run) {
        if (run == kWarmUpRuns + 1) rssStart = ResidentKiB();
        const int blocks = std::uniform_int_distribution<int>(16, 24)(rng);
        const TFaults faults = PickFaults(rng, blocks);
        TOutcome outcome = TOutcome::Stuck;
        std::string why;
        try {
            if (station && faults.name == lastFaults && lastFinished) {
                // The same unit again: the file prepared for the last run goes once more.
                station->F().BtnRepeatUpload->click();
                if (!WaitUntil([&] { return station->F().Engine.UploadState == 0 && station->F().BtnStartRun->isVisibleTo(&station->F()); },
                               10000))
                    why = "Repeat Upload did not lead to the ready screen";
                ++repeats;
            } else {
                station.reset();
                station = std::make_unique<TStation>(faults.args);
                fw = TestFirmware::Make(blocks, seed + static_cast<unsigned>(run));
                station->Prepare("soak.h86", fw.hex, why);
                ++fresh;
            }
            if (why.empty()) {
                TForm1& f = station->F();
                f.BtnStartRun->click();
                if (!WaitUntil([&] { return f.Engine.UploadState == 0; }, 120000)) {
                    why = "did not come to rest, state " + std::to_string(f.Engine.UploadState);
                } else {
                    const std::string verdict = f.Label15->text().toStdString();
                    const bool saysOk =
                        verdict == "Software Upload complete" || verdict == "Checksums match, Upload successful";
                    if (saysOk) {
                        outcome = station->sim->Flash() == fw.image ? TOutcome::Success : TOutcome::FalseSuccess;
                    } else {
                        outcome = TOutcome::DetectedFailure;
                    }
                    if (outcome != TOutcome::Success)
                        why = verdict.empty() ? f.Label2->text().toStdString() : verdict;
                }
            }
        } catch (const std::exception& e) {
            why = std::string("exception: ") + e.what();
        }
        lastFaults = faults.name;
        lastFinished = outcome == TOutcome::Success || outcome == TOutcome::DetectedFailure;
        if (lastFinished && !station->F().BtnRepeatUpload->isVisibleTo(&station->F())) lastFinished = false;
        switch (outcome) {
        case TOutcome::Success: ++successes; break;
        case TOutcome::DetectedFailure: ++detected; break;
        case TOutcome::FalseSuccess: ++falseSuccesses; break;
        case TOutcome::Stuck: ++stuck; break;
        }
        if (outcome == TOutcome::FalseSuccess || outcome == TOutcome::Stuck)
            std::printf("run %d (%s, %d blocks): %s: %s\n", run, faults.name.c_str(), blocks,
                        outcome == TOutcome::Stuck ? "STUCK" : "FALSE SUCCESS", why.c_str());
        if (std::getenv("ZUP_SOAK_VERBOSE"))
            std::printf("run %d (%s, %d blocks): %d %s\n", run, faults.name.c_str(), blocks, static_cast<int>(outcome),
                        why.c_str());
        std::fflush(stdout);
        if (outcome == TOutcome::Stuck) station.reset();  // never carry a confused program into the next run
    }
    // Measured as at the start: with the last run's window and unit still there.
    const long rssEnd = ResidentKiB();
    station.reset();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    std::printf("runs: %d (fresh unit: %d, Repeat Upload: %d) in %.0f s, seed %u\n", runs, fresh, repeats, seconds,
                seed);
    std::printf("successes: %d\ndetected failures: %d\nfalse successes: %d\nruns not coming to rest: %d\n", successes,
                detected, falseSuccesses, stuck);
    std::printf("VmRSS after %d warm-up runs: %ld KiB, at the end: %ld KiB (growth %ld KiB, allowed %ld)\n",
                kWarmUpRuns, rssStart, rssEnd, rssEnd - rssStart, allowedGrowthKiB);
    const bool grew = rssStart >= 0 && rssEnd - rssStart > allowedGrowthKiB;
    if (falseSuccesses > 0 || stuck > 0 || grew) {
        std::printf("SOAK FAILED\n");
        return 1;
    }
    std::printf("SOAK PASSED\n");
    return 0;
}
