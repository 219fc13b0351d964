// The fault matrix of the Software Upload: whatever the line, the unit, the file or the disk does,
// the window keeps ticking, the screen tells what happened, nothing half-written is left under a
// prepared file's name, and success is only ever shown for a unit that holds the image.
//
// Every row runs the real window against the simulated unit and ends with the same checks
// (Verify): the sequencer is idle, no tick came late, the operator's texts and buttons, the
// message boxes, the files on disk and the unit's flash.
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QToolTip>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <map>
#include <optional>

#include "support/Firmware.h"
#include "tests/support/Processes.h"
#include "support/SimUnit.h"
#include "support/Window.h"

namespace {

// Under a sanitizer every step runs several times slower; a stall still stands out against that.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr qint64 kSanitizerSlowdown = 8;
#else
constexpr qint64 kSanitizerSlowdown = 1;
#endif

constexpr const char* kComplete = "Software Upload complete";
constexpr const char* kVerified = "Checksums match, Upload successful";

bool IsPreparing(int state) { return state == 104 || state == 112 || state == 123 || state == 124; }

bool ShowsSuccess(const QString& label15) { return label15 == kComplete || label15 == kVerified; }

std::string BlankFlash() { return std::string(4u << 20, '\xFF'); }

// Where two images first differ, for a failure message that does not print megabytes.
std::string FirstDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
    size_t i = 0;
    while (i < a.size() && a[i] == b[i]) ++i;
    char at[32];
    std::snprintf(at, sizeof at, "0x%zx", i);
    return i == a.size() ? "none" : std::string("first at ") + at;
}

// Watches the window's ticks while the test runs the event loop: the longest time between two
// of them (the file preparation steps may take as long as the disk needs and are left out),
// how many ticks ran each state, and whether a success text was ever on the screen.
class TickWatch {
public:
    explicit TickWatch(TForm1& f) : f_(f) {
        clock_.start();
        conn_ = QObject::connect(Control<QTimer>(f, "Timer1"), &QTimer::timeout, [this] { OnTick(); });
    }
    ~TickWatch() { QObject::disconnect(conn_); }
    TickWatch(const TickWatch&) = delete;
    TickWatch& operator=(const TickWatch&) = delete;

    // Runs the event loop until `done` holds or `ms` pass, measuring the ticks meanwhile.
    bool Wait(const std::function<bool()>& done, int ms = 20000) {
        armed_ = true;
        last_ = clock_.elapsed();
        lastState_ = f_.Engine().UploadState();
        const bool held = WaitUntil(done, ms);
        armed_ = false;
        return held;
    }

    qint64 Longest() const { return longest_; }
    int LongestBefore() const { return longestState_; }
    long Ticks() const { return ticks_; }
    long TicksIn(int state) const {
        auto it = ran_.find(state);
        return it == ran_.end() ? 0 : it->second;
    }
    bool SuccessShown() const { return successShown_; }
    void ResetCounts() { ran_.clear(); }

private:
    void OnTick() {
        // Runs after the window's own tick handler: lastState_ is the state that tick ran.
        const qint64 now = clock_.elapsed();
        ++ticks_;
        if (armed_ && !IsPreparing(lastState_) && now - last_ > longest_) {
            longest_ = now - last_;
            longestState_ = lastState_;
        }
        ++ran_[lastState_];
        last_ = now;
        lastState_ = f_.Engine().UploadState();
        if (ShowsSuccess(Control<QLabel>(f_, "Label15")->text())) successShown_ = true;
    }

    TForm1& f_;
    QElapsedTimer clock_;
    QMetaObject::Connection conn_;
    bool armed_ = false;
    qint64 last_ = 0;
    int lastState_ = 0;
    qint64 longest_ = 0;
    int longestState_ = 0;
    long ticks_ = 0;
    std::map<int, long> ran_;
    bool successShown_ = false;
};

using Button = const char*;  // a button's objectName

// What a row expects once it has played; unset parts are not checked.
struct Expect {
    std::optional<std::string> label2, label15, label10, label12, historyLast;
    std::vector<Button> offered, notOffered;
    // Message boxes: one entry per box expected, each a text the box must contain.
    std::vector<std::string> messages;
    // Files in the home folder by name: the content they must have, or nullopt for "absent".
    std::map<std::string, std::optional<std::string>> files;
    // What the unit's flash must hold at the end.
    std::optional<std::string> flash;
    // Values of the unit's own report.
    std::map<std::string, std::string> report;
};


struct FaultRun {
    ProgramSession w;
    std::unique_ptr<SimUnit> sim;
    TickWatch watch;
    Expect expect;
    int tickMs;

    FaultRun(std::vector<std::string> simArgs, int tick) : w(tick), watch(w.F()), tickMs(tick) {
        simArgs.insert(simArgs.end(), {"--restart-ms", "100"});
        sim = std::make_unique<SimUnit>(w.Folder(), 1, simArgs);
    }
    TForm1& F() { return w.F(); }
    std::string Home() { return w.Home(); }
    std::string Text(QLabel* l) { return l->text().toStdString(); }
    bool Visible(Button b) { return Control<QPushButton>(F(), b)->isVisibleTo(&F()); }
    bool Wait(const std::function<bool()>& done, int ms = 20000) { return watch.Wait(done, ms); }

    // "&Software Upload" with the given baud text; waits for the port report.
    void Open(const QString& baud = "38400") {
        Control<QComboBox>(F(), "CommPortBox")->setEditText("1");
        Control<QComboBox>(F(), "BaudRateBox")->setEditText(baud);
        Control<QPushButton>(F(), "Btn2Upload")->click();
        ASSERT_TRUE(Wait([&] { return F().Engine().UploadState() == 0 && Control<QLabel>(F(), "Label12")->text().startsWith("Port "); }, 5000));
    }
    // Chooses `name` in the home folder and waits until the sequencer rests again.
    void Choose(const std::string& name) {
        ASSERT_TRUE(Wait([&] { return Control<QPushButton>(F(), "BtnChooseFile")->isVisibleTo(&F()); }));
        w.ChooseFile(name);
        ASSERT_TRUE(Wait([&] { return F().Engine().UploadState() == 0; }, 30000)) << "state " << F().Engine().UploadState();
    }
    // Writes `name`, opens the port, chooses the file and expects the ready screen.
    void Prepare(const std::string& name, const std::string& content, const QString& baud = "38400") {
        WriteWholeFile(Home() + name, content);
        Open(baud);
        ASSERT_EQ(Text(Control<QLabel>(F(), "Label12")), "Port is open on Com 1 at " + baud.toStdString() + " baud");
        Choose(name);
        ASSERT_TRUE(Control<QPushButton>(F(), "BtnStartRun")->isVisibleTo(&F())) << "messages " << F().Messages.size();
        ASSERT_EQ(Text(Control<QLabel>(F(), "Label15")), "THE UNIT MUST BE OFF");
    }
    // Start Upload, then waits until the sequencer rests.
    void Start(int ms = 60000) {
        Control<QPushButton>(F(), "BtnStartRun")->click();
        ASSERT_EQ(F().Engine().UploadState(), 44);
        ASSERT_TRUE(Wait([&] { return F().Engine().UploadState() == 0; }, ms)) << "state " << F().Engine().UploadState();
    }
    // Back to Start, then Software Upload again, ready for a new Choose File.
    void Again(const QString& baud = "38400") {
        Control<QPushButton>(F(), "BtnBackToStart")->click();
        ASSERT_TRUE(Control<QGroupBox>(F(), "OpeningBox")->isVisibleTo(&F()));
        Open(baud);
    }
    std::string Flash() {
        sim->Report();  // the unit writes its flash with its report
        return sim->Flash();
    }
    void ExpectFlash(const std::string& image, const char* when) {
        const std::string flash = Flash();
        EXPECT_TRUE(flash == image) << when << ": the unit's flash differs from the image, "
                                    << FirstDifference(flash, image);
    }

    // The checks every row ends with.
    void Verify() {
        TForm1& f = F();
        EXPECT_EQ(f.Engine().UploadState(), 0);

        // The window never stalls: a blocking write, a long close or a reply wait on the loop holds it
        // for seconds and shows here; a busy machine may hold one tick for a few hundred ms.
        const qint64 bound = std::max<qint64>(40LL * tickMs, 2000) * kSanitizerSlowdown;
        EXPECT_GT(watch.Ticks(), 0);
        EXPECT_LT(watch.Longest(), bound) << "longest gap between ticks after a tick in state "
                                          << watch.LongestBefore();

        if (expect.label2) { EXPECT_EQ(Text(Control<QLabel>(f, "Label2")), *expect.label2); }
        if (expect.label15) { EXPECT_EQ(Text(Control<QLabel>(f, "Label15")), *expect.label15); }
        if (expect.label10) { EXPECT_EQ(Text(Control<QLabel>(f, "Label10")), *expect.label10); }
        if (expect.label12) { EXPECT_EQ(Text(Control<QLabel>(f, "Label12")), *expect.label12); }
        if (expect.historyLast) {
            const QStringList hist = f.HistoryLines();
            ASSERT_FALSE(hist.isEmpty());
            EXPECT_EQ(hist.last().toStdString(), *expect.historyLast);
        }
        for (Button b : expect.offered) EXPECT_TRUE(Visible(b)) << b;
        for (Button b : expect.notOffered) EXPECT_FALSE(Visible(b)) << b;

        EXPECT_EQ(f.Messages.size(), expect.messages.size());
        for (size_t i = 0; i < std::min(f.Messages.size(), expect.messages.size()); ++i)
            EXPECT_NE(f.Messages[i].toStdString().find(expect.messages[i]), std::string::npos)
                << "box " << i << ": " << f.Messages[i].toStdString();

        for (const auto& [name, content] : expect.files) {
            const std::string path = Home() + name;
            QFileInfo info(QString::fromStdString(path));
            if (!content) {
                EXPECT_FALSE(info.isFile()) << name << " should not exist as a file";
            } else {
                EXPECT_TRUE(info.isFile()) << name;
                EXPECT_TRUE(ReadWholeFile(path) == *content) << name << " changed, " << FirstDifference(ReadWholeFile(path), *content);
            }
        }
        // A write that failed half-way leaves nothing beside the prepared files either.
        const QStringList parts = QDir(QString::fromStdString(w.Home())).entryList({"*.part*"}, QDir::Files);
        EXPECT_TRUE(parts.isEmpty()) << parts.join(' ').toStdString();

        const std::string flash = Flash();
        const auto report = sim->Report();
        for (const auto& [key, value] : expect.report) {
            auto it = report.find(key);
            EXPECT_TRUE(it != report.end() && it->second == value)
                << "unit report " << key << "=" << (it == report.end() ? "(none)" : it->second) << ", expected " << value;
        }
        if (expect.flash) {
            EXPECT_TRUE(flash == *expect.flash) << "the unit's flash, " << FirstDifference(flash, *expect.flash);
        }
        // Success on the screen, at the end or at any tick, only for a unit that holds the image.
        if (watch.SuccessShown() || ShowsSuccess(Control<QLabel>(f, "Label15")->text())) {
            ASSERT_TRUE(expect.flash.has_value()) << "success shown where no upload was to succeed";
            EXPECT_TRUE(flash == *expect.flash) << "success shown, but the unit does not hold the image";
        }
    }
};

// The screen of an upload that went through.
void ExpectCompleted(FaultRun& r, const TestFirmware& fw) {
    r.expect.label2 = "";
    r.expect.label15 = kComplete;
    r.expect.label10 = "Program complete. <Go back to Start> or <Close>";
    r.expect.label12 = "";
    const std::string n = std::to_string(r.F().Engine().BlockCount());
    r.expect.historyLast = "Sending block " + n + " of " + n + "...";
    r.expect.offered = {"BtnRepeatUpload", "BtnBackToStart"};
    r.expect.notOffered = {"BtnStartRun", "BtnChooseFile"};
    r.expect.flash = fw.image;
}

// The screen after a preparation failure: one box naming `file`, Choose File offered again, no
// upload offered, and nothing reached the unit.
void ExpectPreparationRefused(FaultRun& r, const std::string& file) {
    r.expect.messages = {file};
    r.expect.label12 = "Preparing input file failed, choose another file";
    r.expect.offered = {"BtnChooseFile", "BtnBackToStart"};
    r.expect.notOffered = {"BtnStartRun", "BtnRepeatUpload"};
    r.expect.flash = BlankFlash();
    EXPECT_FALSE(Control<QGroupBox>(r.F(), "RunBox")->isVisibleTo(&r.F()));
}

struct Row {
    std::string name;
    std::vector<std::string> simArgs;
    int tickMs;
    std::function<void(FaultRun&)> play;
    std::map<std::string, std::string> report;  // what the unit must say about itself at the end
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

// ---- the line and the unit --------------------------------------------------------------------

void CompletesDespite(FaultRun& r) {
    const TestFirmware fw = TestFirmware::Make(12, 21);
    r.Prepare("app.h86", fw.hex);
    r.Start();
    ExpectCompleted(r, fw);
    r.expect.files = {{"app.h86", fw.hex}, {"app.BIN", fw.image}};
}

// The unit is unplugged after its fifth block: the device goes away under the open port.
void UnitVanishes(FaultRun& r) {
    const TestFirmware fw = TestFirmware::Make(12, 22);
    r.Prepare("app.h86", fw.hex);
    TForm1& f = r.F();
    Control<QPushButton>(f, "BtnStartRun")->click();
    ASSERT_TRUE(r.Wait([&] { return f.Engine().BlocksSent() >= 5; }, 20000));
    ASSERT_TRUE(r.sim->WaitForExit(10000));
    // After 1000 ticks of silence the transfer would send the block again; with the line gone
    // there is nobody to send it to, so it ends with its timeout report and the system's reason.
    ASSERT_TRUE(r.Wait([&] { return f.Engine().UploadState() == 0; }, 2000 * r.tickMs + 10000)) << "state " << f.Engine().UploadState();
    EXPECT_EQ(f.Engine().BlocksSent(), 5);
    EXPECT_EQ(r.Text(Control<QLabel>(f, "Label2")), "Timed out waiting for SEND BLOCK message");
    EXPECT_EQ(f.HistoryLines().last().toStdString(), "Timed out waiting for SEND BLOCK message");
    EXPECT_EQ(r.Text(Control<QLabel>(f, "Label10")), "");
    EXPECT_TRUE(f.Serial1().LineLost());
    EXPECT_EQ(f.Serial1().Serial.ErrorCode(), EIO);
    EXPECT_EQ(PlainToolTip(Control<QLabel>(f, "Label12")).rfind("Input/output error\n", 0), 0u) << PlainToolTip(Control<QLabel>(f, "Label12"));
    EXPECT_TRUE(Control<QPushButton>(f, "BtnBackToStart")->isVisibleTo(&f));
    EXPECT_TRUE(Control<QPushButton>(f, "BtnRepeatUpload")->isVisibleTo(&f));
    EXPECT_FALSE(ShowsSuccess(Control<QLabel>(f, "Label15")->text()));
    Control<QPushButton>(f, "BtnBackToStart")->click();
    EXPECT_EQ(f.Engine().UploadState(), 0);
    EXPECT_TRUE(Control<QGroupBox>(f, "OpeningBox")->isVisibleTo(&f));
    EXPECT_FALSE(Control<QGroupBox>(f, "MainBox")->isVisibleTo(&f));

    // A new Software Upload no longer finds the unit's device; whatever Com 1 then stands for,
    // the report matches the port's real state and the close of the dead one was quick.
    const std::string gone = r.sim->LinkPath();
    r.Open();
    EXPECT_EQ(r.Text(Control<QLabel>(f, "Label12")), std::string("Port ") + (f.Serial1().Active() ? "is" : "did not") +
                                     " open on Com 1 at 38400 baud");
    EXPECT_NE(f.Serial1().Serial.DeviceName(), gone);
    if (!f.Serial1().Active()) {
        EXPECT_FALSE(PlainToolTip(Control<QLabel>(f, "Label12")).empty());
    }
    EXPECT_LT(f.Serial1().Serial.LastCloseMillis(), 250.0);
    Control<QPushButton>(f, "BtnBackToStart")->click();

    r.expect.notOffered = {"BtnStartRun", "BtnRepeatUpload"};
    // The flash holds the five blocks that came before the unit went, nothing more.
    std::string partial = BlankFlash();
    for (int block = 0; block < 5; ++block) {
        const size_t at = static_cast<size_t>(block) * 3 * 128;
        partial.replace(at, 128, fw.image, at, 128);
    }
    r.expect.flash = partial;
}

// The baud box at a speed the unit's boot code cannot lock to: it never answers.
// ---- the file ---------------------------------------------------------------------------------

// The firmware file is changed after it was converted: Repeat Upload sends the upload block file
// as converted; only a new Choose File takes the new firmware.
void FirmwareChangesBeforeRepeat(FaultRun& r) {
    TForm1& f = r.F();
    const TestFirmware first = TestFirmware::Make(9, 24);
    const TestFirmware second = TestFirmware::Make(9, 25);
    ASSERT_FALSE(first.image == second.image);
    r.Prepare("app.h86", first.hex);
    const std::string zup = ReadWholeFile(r.Home() + "app.ZUP");
    r.Start();
    ASSERT_EQ(r.Text(Control<QLabel>(f, "Label15")), kComplete);
    r.ExpectFlash(first.image, "first upload");

    WriteWholeFile(r.Home() + "app.h86", second.hex);
    Control<QPushButton>(f, "BtnRepeatUpload")->click();
    ASSERT_TRUE(r.Wait([&] { return f.Engine().UploadState() == 0; }));
    ASSERT_TRUE(Control<QPushButton>(f, "BtnStartRun")->isVisibleTo(&f));
    r.sim->PowerCycle();  // the unit runs its new application until switched off and on
    r.Start();
    ASSERT_EQ(r.Text(Control<QLabel>(f, "Label15")), kComplete);
    r.ExpectFlash(first.image, "repeat upload");
    EXPECT_TRUE(ReadWholeFile(r.Home() + "app.ZUP") == zup);

    r.Again();
    r.Choose("app.h86");
    ASSERT_TRUE(Control<QPushButton>(f, "BtnStartRun")->isVisibleTo(&f));
    r.sim->PowerCycle();
    r.Start();
    ExpectCompleted(r, second);
    r.expect.files = {{"app.h86", second.hex}, {"app.BIN", second.image}};
}

// ---- the disk ---------------------------------------------------------------------------------

// The upload block file's name is taken by a folder: the file cannot be created.
void ZupNameIsAFolder(FaultRun& r) {
    const TestFirmware fw = TestFirmware::Make(6, 26);
    ASSERT_TRUE(QDir(QString::fromStdString(r.w.Home())).mkdir("app.ZUP"));
    WriteWholeFile(r.Home() + "app.h86", fw.hex);
    r.Open();
    r.Choose("app.h86");
    ExpectPreparationRefused(r, "app.ZUP");
    EXPECT_TRUE(QFileInfo(QString::fromStdString(r.Home() + "app.ZUP")).isDir());
    r.expect.files = {{"app.h86", fw.hex}};
}

// The disk fills while the binary image is written: the earlier good upload block file stays.
void DiskFullWritingTheImage(FaultRun& r) {
    TForm1& f = r.F();
    const TestFirmware good = TestFirmware::Make(6, 27);
    r.Prepare("app.h86", good.hex);
    const std::string goodZup = ReadWholeFile(r.Home() + "app.ZUP");
    Control<QPushButton>(f, "BtnBackToStart")->click();

    const TestFirmware next = TestFirmware::Make(7, 28);
    WriteWholeFile(r.Home() + "app.h86", next.hex);
    r.Open();
    {
        FileSizeLimit limit(1u << 20);  // the 4 MiB image does not fit
        ASSERT_TRUE(limit.Active());
        r.Choose("app.h86");
    }
    ExpectPreparationRefused(r, "app.BIN");
    // A binary image that could not be written whole is not left to be taken for one later.
    EXPECT_NE(access((r.Home() + "app.BIN").c_str(), F_OK), 0);
    r.expect.files = {{"app.h86", next.hex}, {"app.ZUP", goodZup}};
}

// The disk fills while the upload block file is written (a binary input needs no image file):
// the earlier good upload block file keeps its content, and no part of the new one is left.
void DiskFullWritingTheUploadFile(FaultRun& r) {
    TForm1& f = r.F();
    const TestFirmware good = TestFirmware::Make(5, 29);
    r.Prepare("app.bin", good.image);
    const std::string goodZup = ReadWholeFile(r.Home() + "app.ZUP");
    Control<QPushButton>(f, "BtnBackToStart")->click();

    const TestFirmware next = TestFirmware::Make(60, 30);  // 60 blocks: 8104 bytes
    WriteWholeFile(r.Home() + "app.bin", next.image);
    r.Open();
    {
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.Active());
        r.Choose("app.bin");  // a preparation leaves no record: nothing is written beside it
    }
    ExpectPreparationRefused(r, "app.ZUP");
    r.expect.files = {{"app.bin", next.image}, {"app.ZUP", goodZup}};
}

// The binary image's name is a link to a device: the image replaces the link, and the device is
// never written through it.
void ImageNameLinksToADevice(FaultRun& r) {
    const TestFirmware fw = TestFirmware::Make(6, 31);
    ASSERT_EQ(::symlink("/dev/full", (r.Home() + "app.BIN").c_str()), 0);
    r.Prepare("app.h86", fw.hex);
    EXPECT_FALSE(QFileInfo(QString::fromStdString(r.Home() + "app.BIN")).isSymLink());
    r.expect.files = {{"app.h86", fw.hex}, {"app.BIN", fw.image}};
    r.expect.flash = BlankFlash();
}

const Row kRows[] = {
    // The unit's "BLOCK BASE INDEX" line is no request: the block goes out again.
    {"BlockBaseIndexLine", {"--base-index-at", "3"}, 3, CompletesDespite, {{"uploads", "1"}, {"duplicates", "1"}}},
    {"UnitVanishesMidTransfer", {"--vanish-after", "5"}, 2, UnitVanishes, {{"state", "vanished"}, {"blocks", "5"}}},
    {"FirmwareChangesBeforeRepeat", {}, 3, FirmwareChangesBeforeRepeat, {{"uploads", "3"}}},
    {"ZupNameIsAFolder", {}, 3, ZupNameIsAFolder, {{"wakeups", "0"}}},
    {"DiskFullWritingTheImage", {}, 3, DiskFullWritingTheImage, {{"wakeups", "0"}}},
    {"DiskFullWritingTheUploadFile", {}, 3, DiskFullWritingTheUploadFile, {{"wakeups", "0"}}},
    {"ImageNameLinksToADevice", {}, 3, ImageNameLinksToADevice, {{"wakeups", "0"}}},
};

class FaultMatrix : public ::testing::TestWithParam<Row> {};

}  // namespace

TEST_P(FaultMatrix, KeepsWorkingAndTellsTheTruth) {
    const Row& row = GetParam();
    FaultRun r(row.simArgs, row.tickMs);
    r.expect.report = row.report;
    row.play(r);
    if (HasFatalFailure()) return;
    r.Verify();
    std::printf("[ gaps     ] %s: longest %lld ms over %ld ticks\n", row.name.c_str(),
                static_cast<long long>(r.watch.Longest()), r.watch.Ticks());
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

// The measure itself: a tick that blocks (as a write to a stuck line or a long port close would)
// shows as a gap, while the file preparation steps are left out.
TEST(FaultMatrixWatch, SeesATickThatBlocks) {
    ProgramSession w(3);
    TickWatch watch(w.F());
    bool stalled = false;
    QObject::connect(Control<QTimer>(w.F(), "Timer1"), &QTimer::timeout, [&] {
        if (!stalled && watch.Ticks() > 5) {
            stalled = true;
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 400) {
            }
        }
    });
    ASSERT_TRUE(watch.Wait([&] { return stalled && watch.Ticks() > 20; }, 5000));
    EXPECT_GE(watch.Longest(), 400);
    EXPECT_LT(watch.Longest(), 2000);
}
