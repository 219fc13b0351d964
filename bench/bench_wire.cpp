// How close the uploads come to the speed of the wire: the real window (headless) at its real
// 50 ms tick, the real serial component, and the simulated unit pacing what it says and what it
// hears at the line's own speed (10 bits a character). Prints, for 2000 blocks at 38400 and at
// 57600 baud, the block transfer's time, the wire's floor for the same bytes and their ratio, the
// longest gap between two timer ticks meanwhile, and the time of the whole factory job.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench/BlockTimes.h"
#include "firmware/UploadFile.h"
#include "tests/support/Firmware.h"
#include "tests/support/SimUnit.h"
#include "tests/support/Window.h"

namespace {

constexpr int kBlocks = 2000;

int Fail(const char* what, TForm1& f) {
    std::fprintf(stderr, "bench_wire: %s (state %d)\n", what, f.Engine().UploadState());
    for (const QString& m : f.Messages) std::fprintf(stderr, "  %s\n", m.toLocal8Bit().constData());
    return 1;
}

// One Software Upload of kBlocks blocks at `baud`; prints its figures. Returns 0 on success.
int UploadAt(const char* baud) {
    ProgramSession s(50);
    SimUnit sim(s.Folder(), 1, {"--pace", "--restart-ms", "100"});
    TForm1& f = s.F();
    if (!s.OpenPort("1", baud)) return Fail("the port did not open", f);
    const TestFirmware fw = TestFirmware::Make(kBlocks, 1, 1);
    if (!s.PrepareFile("bench.h86", fw.hex)) return Fail("the file was not prepared", f);

    QElapsedTimer clock;
    qint64 firstMs = -1, lastMs = -1, lastTickMs = -1, longestGapMs = 0;
    // The window's responsiveness during the transfer: the longest time between two ticks.
    QObject::connect(Control<QTimer>(f, "Timer1"), &QTimer::timeout, &f, [&] {
        const qint64 now = clock.elapsed();
        if (firstMs >= 0 && lastMs < 0 && lastTickMs >= 0) longestGapMs = std::max(longestGapMs, now - lastTickMs);
        lastTickMs = now;
    });
    clock.start();
    Control<QPushButton>(f, "BtnStartRun")->click();
    // The transfer ends when the unit has the last block: the engine goes on to "UPLOAD DONE".
    if (!WaitUntil([&] {
            if (firstMs < 0 && f.Engine().BlocksSent() >= 1) firstMs = clock.elapsed();
            if (lastMs < 0 && f.Engine().UploadState() == State::AwaitThankYou) lastMs = clock.elapsed();
            return f.Engine().UploadState() == State::Idle;
        }, 600000))
        return Fail("the upload did not end", f);
    if (Control<QLabel>(f, "Label15")->text() != "Checksums match, Upload successful")
        return Fail(("the upload did not succeed: " + Control<QLabel>(f, "Label15")->text().toStdString()).c_str(), f);
    const int rate = std::atoi(baud);
    // From the first block out to the request after the last: kBlocks blocks, kBlocks requests.
    const double floorMs = WireFloorMs(kBlocks, rate);
    const double ms = static_cast<double>(lastMs - firstMs);
    std::printf("upload %s baud: %d blocks in %.0f ms, wire floor %.0f ms, longest tick gap %.0f ms\n", baud, kBlocks, ms,
                floorMs, static_cast<double>(longestGapMs));
    std::printf("wire ratio %s: %.3f\n", baud, floorMs / ms);
    return 0;
}

int FactoryJob() {
    ProgramSession s(50);
    SimUnit sim(s.Folder(), 1, {"--pace"});
    TForm1& f = s.F();
    Control<QComboBox>(f, "CommPortBox")->setEditText("1");
    Control<QPushButton>(f, "BtnBoot")->click();
    if (!WaitUntil([&] { return f.Engine().UploadState() == 0 && Control<QPushButton>(f, "BtnGoOn")->isVisibleTo(&f); }, 10000))
        return Fail("the factory screen did not open the port", f);
    QElapsedTimer clock;
    clock.start();
    Control<QPushButton>(f, "BtnGoOn")->click();
    if (!WaitUntil([&] { return f.Engine().UploadState() == 0; }, 120000)) return Fail("the factory job did not end", f);
    const double seconds = clock.elapsed() / 1000.0;
    if (!f.HistoryLines().contains("FlashCode Upload complete")) return Fail("the factory job did not complete", f);
    std::printf("factory job seconds: %.2f\n", seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    int failed = 0;
    failed += UploadAt("38400");
    failed += UploadAt("57600");
    failed += FactoryJob();
    return failed ? 1 : 0;
}
