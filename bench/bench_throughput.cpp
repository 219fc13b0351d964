// Measures the block rate of a whole Software Upload at the program's real 50 ms tick: the real
// window (headless), the real serial component, and the simulated unit answering at once. The
// sequencer sends at most one block per tick, so 1.00 blocks per tick is the ceiling; anything
// below it means ticks in which the unit's request had not been seen yet.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>
#include <algorithm>

#include "app/Uflash8.h"
#include "tests/support/EventLoop.h"
#include "tests/support/SimUnit.h"
#include "records/Chfile1.h"

namespace {

constexpr int kBlocks = 600;
constexpr int kTickMs = 50;


int Fail(const char* what, const TForm1& f) {
    std::fprintf(stderr, "bench_throughput: %s (state %d, messages %zu)\n", what, f.Engine.UploadState, f.Messages.size());
    for (const QString& m : f.Messages) std::fprintf(stderr, "  %s\n", m.toLocal8Bit().constData());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    QTemporaryDir programDir, homeDir;
    const std::string folder = programDir.path().toStdString() + "/";
    const std::string home = homeDir.path().toStdString() + "/";

    // kBlocks blocks of data that is never all 0xFF, so every one of them is sent.
    {
        std::mt19937 rng(1);
        std::string image(kBlocks * 128, '\0');
        for (char& c : image) c = static_cast<char>(rng() % 255);
        std::ofstream(home + "bench.bin", std::ios::binary) << image;
    }

    SimUnit sim(folder, 1, {"--restart-ms", "100"});

    TForm1Options o;
    o.TickMs = kTickMs;
    o.ProgramFolder = folder;
    o.Maximise = false;
    o.ModalBoxes = false;
    auto window = BuildMainWindow(o, home);
    TForm1& form1 = *window->Form1;
    TForm2& form2 = *window->Form2;
    form1.show();
    if (!WaitUntil([&] { return form1.FormActivated() && form1.Timer1->isActive(); }, 10000))
        return Fail("the window did not start", form1);

    form1.CommPortBox->setEditText("1");
    form1.BaudRateBox->setEditText("38400");
    form1.Btn2Upload->click();
    if (!WaitUntil([&] { return form1.Label12->text().startsWith("Port "); }, 5000) ||
        !form1.Label12->text().startsWith("Port is open"))
        return Fail("the port did not open", form1);

    form2.SetCurrentDirectory(homeDir.path());
    QTimer::singleShot(0, &form2, [&form2] {
        form2.findChild<QLineEdit*>("FileNameBox")->setText("bench.bin");
        form2.findChild<QPushButton*>("BtnOK")->click();
    });
    form1.BtnChooseFile->click();
    if (!WaitUntil([&] { return form1.Engine.UploadState == 0 && form1.BtnStartRun->isVisibleTo(&form1); }, 20000))
        return Fail("the file was not prepared", form1);
    if (form1.Engine.BlockCount != kBlocks) return Fail("unexpected block count", form1);

    // Runs after the sequencer's own handler on every tick (connected later, called later).
    QElapsedTimer clock;
    clock.start();
    int ticks = 0, firstTick = -1, lastTick = -1, prevSent = 0;
    qint64 firstMs = 0, lastMs = 0;
    std::map<int, int> perTick;  // blocks sent in one tick -> how many ticks
    qint64 prevTickMs = 0, longestGapMs = 0;
    int lateTicks = 0;           // ticks that came more than half a tick late
    std::vector<std::string> idle;  // what a tick without a block had received
    QObject::connect(form1.Timer1, &QTimer::timeout, &form1, [&] {
        ++ticks;
        const qint64 now = clock.elapsed();
        const int sent = form1.Engine.BlocksSent;
        if (sent > 0 && sent < kBlocks && firstTick >= 0) {
            perTick[sent - prevSent] += 1;
            longestGapMs = std::max(longestGapMs, now - prevTickMs);
            if (now - prevTickMs > kTickMs * 3 / 2) ++lateTicks;
            if (sent == prevSent)
                idle.push_back("tick " + std::to_string(ticks) + " (" + std::to_string(now - prevTickMs) +
                               " ms after the one before), received: \"" +
                               OperatorText(form1.Engine.Link.RxBuffer) + "\"");
        }
        prevTickMs = now;
        if (sent >= 1 && firstTick < 0) {
            firstTick = ticks;
            firstMs = clock.elapsed();
        }
        if (sent == kBlocks && lastTick < 0) {
            lastTick = ticks;
            lastMs = clock.elapsed();
        }
        prevSent = sent;
    });

    form1.BtnStartRun->click();
    if (!WaitUntil([&] { return form1.Engine.UploadState == 0; }, 180000)) return Fail("the upload did not end", form1);
    if (form1.Label15->text() != "Software Upload complete" || lastTick < 0)
        return Fail(("the upload did not complete: " + form1.Label15->text().toStdString()).c_str(), form1);

    const double spanMs = static_cast<double>(lastMs - firstMs);
    const double tickSpan = spanMs / kTickMs;
    std::printf("blocks: %d, first to last block: %.0f ms, %d timer ticks\n", kBlocks, spanMs, lastTick - firstTick);
    std::printf("ticks by blocks sent in them:");
    for (const auto& [n, count] : perTick) std::printf("  %d block(s): %d", n, count);
    std::printf("\n");
    std::printf("longest gap between ticks: %lld ms, ticks more than half a tick late: %d\n",
                static_cast<long long>(longestGapMs), lateTicks);
    for (const std::string& line : idle) std::printf("  no block in %s\n", line.c_str());
    std::printf("blocks per timer tick: %.2f\n", static_cast<double>(kBlocks - 1) / (lastTick - firstTick));
    std::printf("blocks per tick: %.2f\n", static_cast<double>(kBlocks - 1) / tickSpan);
    return 0;
}
