// The capture file and the progress of a whole Software Upload against the simulated unit, as the
// operator switches capture on and off from the window.
#include <QProgressBar>
#include <QRegularExpression>

#include <csignal>
#include <cstring>
#include <ctime>
#include <map>
#include <sys/resource.h>

#include "support/Firmware.h"
#include "tests/support/Processes.h"
#include "support/SimUnit.h"
#include "support/Window.h"

namespace {

struct CaptureLine {
    std::string time;  // "" for the "[start]" line
    std::string body;
};

std::vector<CaptureLine> ParseCapture(const std::string& text) {
    std::vector<CaptureLine> lines;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find("\r\n", from);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(from, end - from);
        const size_t tag = line.find('[');
        lines.push_back({line.substr(0, tag == std::string::npos ? line.size() : tag),
                         tag == std::string::npos ? std::string() : line.substr(tag)});
        from = end + 2;
    }
    return lines;
}

std::string TimeText(std::time_t t) {
    std::tm local {};
    localtime_r(&t, &local);
    char buf[64];
    return std::string(buf, std::strftime(buf, sizeof buf, "%X", &local));
}

// Every time-of-day text the clock showed from `from` to now, with the second it stands for.
std::map<std::string, std::time_t> TimesSince(std::time_t from) {
    std::map<std::string, std::time_t> times;
    for (std::time_t t = from, now = std::time(nullptr); t <= now; ++t) times.emplace(TimeText(t), t);
    return times;
}

// "[pn]" states in file order, each run of one state counted once.
std::vector<int> StatePath(const std::vector<CaptureLine>& lines) {
    std::vector<int> path;
    for (const auto& l : lines) {
        if (l.body.rfind("[pn]", 0) != 0) continue;
        const int s = std::stoi(l.body.substr(4));
        if (path.empty() || path.back() != s) path.push_back(s);
    }
    return path;
}

size_t IndexOf(const std::vector<CaptureLine>& lines, const std::string& body, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].body == body) return i;
    return std::string::npos;
}

size_t Count(const std::vector<CaptureLine>& lines, const std::string& body) {
    size_t n = 0;
    for (const auto& l : lines) n += l.body == body;
    return n;
}

std::string Repeat(const std::string& part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Hex(const std::string& bytes) {
    static const char d[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

// What the window showed each time the gauge moved.
struct ProgressSnapshot {
    int value;
    std::string label2, lastHistoryLine;
};

void RecordProgress(TForm1& f, std::vector<ProgressSnapshot>& out) {
    QObject::connect(
        Control<QProgressBar>(f, "Gauge"), &QProgressBar::valueChanged, Control<QProgressBar>(f, "Gauge"),
        [&f, &out](int v) {
            const QStringList hist = f.HistoryLines();
            out.push_back({v, Control<QLabel>(f, "Label2")->text().toStdString(), hist.isEmpty() ? "" : hist.last().toStdString()});
        });
}

}  // namespace

// One whole upload with capture on, recorded once: the tests below each look at one side of it.
struct WholeUploadRecording {
    bool complete = false;  // every step of the recording went through
    std::time_t began = 0;
    std::string capture;    // the capture file after the first run of the program
    std::string both;       // after a second run in the same folder switched capture on and off
    std::string zup;
    std::vector<ProgressSnapshot> progress;
    QStringList history;
    int gaugeMaximum = 0, gaugeValue = 0, blocksSent = 0;
    bool gaugeShown = true;
    std::string timeTaken;  // Label4 at the end
    qint64 tookMs = 0;
    std::map<std::string, std::string> report;
    bool flashHoldsImage = false;
    size_t messages = 0;
};

void RecordWholeUpload(WholeUploadRecording& r, const std::string& folder, const std::string& home) {
    r.began = std::time(nullptr);
    const TestFirmware fw = TestFirmware::Make(6, 21);
    {
        ProgramSession s(folder, home);
        TForm1& f = s.F();
        // The erase takes long enough for the "ERASING..." line to be taken before the next one
        // arrives, and the third block is asked for again.
        SimUnit sim(s.Folder(), 1, {"--resend-at", "3", "--erase-ms", "300", "--restart-ms", "100"});
        Control<QPushButton>(f, "BtnCaptureFile")->click();
        ASSERT_TRUE(f.Engine().CaptureOn());
        ASSERT_EQ(s.Text(Control<QLabel>(f, "Label11")), "Enabled");
        ASSERT_TRUE(WaitUntil([&] { return s.CaptureText().find("[pn]0\r\n") != std::string::npos; }));
        ASSERT_TRUE(s.OpenPort("1"));
        // A tick at rest after the port report is part of the record; the file is chosen after it.
        ASSERT_TRUE(WaitUntil([&] { return EndsWith(s.CaptureText(), "[pn]0\r\n"); }));
        ASSERT_TRUE(s.PrepareFile("fw.h86", fw.hex)) << "state " << f.Engine().UploadState();
        // Idle on the ready screen for a good number of ticks before the start.
        int ticks = 0;
        QObject::connect(Control<QTimer>(f, "Timer1"), &QTimer::timeout, &f, [&ticks] { ++ticks; });
        ASSERT_TRUE(WaitUntil([&] { return ticks >= 30; }));
        RecordProgress(f, r.progress);
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(s.StartAndWait()) << "state " << f.Engine().UploadState();
        r.tookMs = clock.elapsed();
        ASSERT_EQ(s.Text(Control<QLabel>(f, "Label15")), "Software Upload complete");
        r.flashHoldsImage = FlashHolds(sim, fw.image);
        r.report = sim.Report();
        r.gaugeMaximum = Control<QProgressBar>(f, "Gauge")->maximum();
        r.gaugeValue = Control<QProgressBar>(f, "Gauge")->value();
        r.gaugeShown = s.Shown(Control<QProgressBar>(f, "Gauge"));
        r.blocksSent = f.Engine().BlocksSent();
        r.history = f.HistoryLines();
        r.timeTaken = s.Text(Control<QLabel>(f, "Label4"));
        // The tick after the end records the idle state; then capture goes off.
        ASSERT_TRUE(WaitUntil([&] { return EndsWith(s.CaptureText(), "[pn]0\r\n"); }));
        Control<QPushButton>(f, "BtnCaptureFile")->click();
        ASSERT_FALSE(f.Engine().CaptureOn());
        ASSERT_EQ(s.Text(Control<QLabel>(f, "Label11")), "Disabled");
        r.messages = f.Messages.size();
        r.capture = s.CaptureText();
    }
    r.zup = ReadWholeFile(home + "/fw.ZUP");
    {
        ProgramSession s(folder, home);
        Control<QPushButton>(s.F(), "BtnCaptureFile")->click();
        ASSERT_TRUE(s.F().Engine().CaptureOn());
        ASSERT_TRUE(WaitUntil([&] { return s.CaptureText().size() > r.capture.size() + 9; }));
        Control<QPushButton>(s.F(), "BtnCaptureFile")->click();
        r.both = s.CaptureText();
    }
    r.complete = true;
}

class WholeUpload : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir;
        home_ = new TempDir;
        recording_ = {};
        RecordWholeUpload(recording_, folder_->Path(), home_->Path());
    }
    static void TearDownTestSuite() {
        delete folder_;
        delete home_;
    }
    void SetUp() override {
        ASSERT_TRUE(recording_.complete) << "the recorded upload did not go through";
        lines_ = ParseCapture(recording_.capture);
        ASSERT_GT(lines_.size(), 40u);
    }
    const WholeUploadRecording& R() const { return recording_; }
    const std::vector<CaptureLine>& Lines() const { return lines_; }

private:
    static inline WholeUploadRecording recording_;
    static inline TempDir* folder_ = nullptr;
    static inline TempDir* home_ = nullptr;
    std::vector<CaptureLine> lines_;
};

TEST_F(WholeUpload, TheUnitHoldsTheImageAndNothingWentWrong) {
    EXPECT_TRUE(R().flashHoldsImage);
    EXPECT_EQ(R().report.at("resends"), "1");
    EXPECT_EQ(R().report.at("blocks"), "6");
    EXPECT_EQ(R().messages, 0u);
}

// The gauge counts to the block count once per block; a resent block moves neither the gauge nor
// the texts, which say the block the gauge shows.
TEST_F(WholeUpload, ProgressCountsEachBlockOnce) {
    EXPECT_EQ(R().gaugeMaximum, 6);
    EXPECT_EQ(R().gaugeValue, 6);
    EXPECT_EQ(R().blocksSent, 6);
    std::vector<int> values;
    for (const auto& p : R().progress) {
        if (p.value == 0) continue;
        values.push_back(p.value);
        const std::string text = "Sending block " + std::to_string(p.value) + " of 6...";
        EXPECT_EQ(p.label2, text);
        EXPECT_EQ(p.lastHistoryLine, text);
    }
    EXPECT_EQ(values, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(R().history.filter(QRegularExpression("^Sending block ")).size(), 1);
    EXPECT_EQ(R().history.last().toStdString(), "Sending block 6 of 6...");
    EXPECT_FALSE(R().history.contains("Sending Lines..."));
    EXPECT_FALSE(R().gaugeShown);
    // The elapsed time in seconds, no more than the run took.
    const QRegularExpressionMatch m =
        QRegularExpression("^Upload complete\\. Time taken: (\\d+) seconds$").match(QString::fromStdString(R().timeTaken));
    ASSERT_TRUE(m.hasMatch()) << R().timeTaken;
    EXPECT_LE(m.captured(1).toLongLong(), R().tookMs / 1000 + 1);
}

// "[start]", then every line with the time of day of the run, never going back, and no line
// written twice in a row.
TEST_F(WholeUpload, EveryLineHasItsTimeOfDayInOrder) {
    EXPECT_EQ(Lines()[0].time, "");
    EXPECT_EQ(Lines()[0].body, "[start]");
    const auto times = TimesSince(R().began);
    std::time_t previous = R().began;
    for (size_t i = 1; i < Lines().size(); ++i) {
        const auto t = times.find(Lines()[i].time);
        ASSERT_NE(t, times.end()) << "line " << i << " time \"" << Lines()[i].time << "\"";
        if (R().began <= t->second) {  // (a run across midnight repeats no text, but may wrap)
            EXPECT_GE(t->second, previous) << "line " << i;
            previous = t->second;
        }
        ASSERT_FALSE(Lines()[i].body.empty()) << "line " << i;
        EXPECT_NE(Lines()[i].body, Lines()[i - 1].body) << "line " << i << " written twice in a row";
    }
}

// The states, each change once, along the road of the upload; idle on the ready screen is one line.
TEST_F(WholeUpload, TheStatesFollowTheRoadOfTheUpload) {
    EXPECT_EQ(StatePath(Lines()), (std::vector<int>{0, 5, 6, 10, 0, 104, 112, 123, 124, 42, 0, 44, 45, 54, 55, 56,
                                                   57, 58, 66, 67, 73, 74, 75, 82, 0}));
    const size_t ready = IndexOf(Lines(), "[pn]42");
    ASSERT_NE(ready, std::string::npos);
    EXPECT_EQ(Lines()[ready + 1].body, "[pn]0");
    EXPECT_EQ(Lines()[ready + 2].body, "[pn]44");
}

// The port opening and the commands, each once and where its state put it.
TEST_F(WholeUpload, EachCommandStandsWhereItsStatePutIt) {
    const std::pair<std::string, std::string> commands[] = {
        {"[co]com port open at 38400", "[pn]5"}, {"[out]GO[cr]", "[pn]54"}, {"[out]UPLOAD DONE[cr]", "[pn]73"}};
    for (const auto& [command, state] : commands) {
        const size_t at = IndexOf(Lines(), command);
        ASSERT_NE(at, std::string::npos) << command;
        EXPECT_EQ(Lines()[at - 1].body, state) << command;
        EXPECT_EQ(Count(Lines(), command), 1u) << command;
    }
    const size_t go = IndexOf(Lines(), "[out]GO[cr]");
    size_t wakeUps = 0;
    for (size_t i = 1; i < Lines().size(); ++i) {
        if (Lines()[i].body != "[out]U") continue;
        ++wakeUps;
        EXPECT_TRUE(Lines()[i - 1].body == "[pn]44" || Lines()[i - 1].body == "[pn]45") << "line " << i;
        EXPECT_LT(i, go);
    }
    EXPECT_GE(wakeUps, 1u);
}

// What came in: the whole buffer each time, so the line end left over from "ERASING..." is still
// in front of "ERASE COMPLETE"; three dump lines before each block, the resent one included.
TEST_F(WholeUpload, WhatCameInAndEachBlockAsItWasSent) {
    const auto& lines = Lines();
    size_t readyIn = std::string::npos, eraseIn = std::string::npos, resendIn = 0, thanks = std::string::npos;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& b = lines[i].body;
        if (b.rfind("[in]", 0) != 0) continue;
        if (b.find("READY[cr]") != std::string::npos && readyIn == std::string::npos) readyIn = i;
        if (b.rfind("[in][lf]ERASE COMPLETE", 0) == 0 && eraseIn == std::string::npos) eraseIn = i;
        resendIn += b.find("RESEND BLOCK") != std::string::npos;
        if (b.rfind("[in]THANK YOU[cr]", 0) == 0) thanks = i;
    }
    const size_t go = IndexOf(lines, "[out]GO[cr]"), done = IndexOf(lines, "[out]UPLOAD DONE[cr]");
    ASSERT_NE(readyIn, std::string::npos);
    EXPECT_LT(readyIn, go);
    ASSERT_NE(eraseIn, std::string::npos);
    EXPECT_GT(eraseIn, go);
    EXPECT_EQ(resendIn, 1u);
    ASSERT_NE(thanks, std::string::npos);
    EXPECT_GT(thanks, done);
    EXPECT_LT(thanks, IndexOf(lines, "[pn]75"));

    ASSERT_EQ(R().zup.size(), 6u * 135 + 4);
    const int order[] = {0, 1, 2, 2, 3, 4, 5};
    size_t at = 0;
    for (int k : order) {
        const std::string block = R().zup.substr(static_cast<size_t>(k) * 135, 135);
        const std::string info = "[info  ]  addr " + block.substr(0, 6) + "  cksm " + Hex(block.substr(134, 1));
        at = IndexOf(lines, info, at);
        ASSERT_NE(at, std::string::npos) << "dump of block " << k + 1;
        ASSERT_LT(at + 2, lines.size());
        EXPECT_EQ(lines[at + 1].body, "[B0-128]" + Hex(block.substr(6, 64)));
        EXPECT_EQ(lines[at + 2].body, "[B128+ ]" + Hex(block.substr(70, 64)));
        EXPECT_GT(at, eraseIn);
        EXPECT_LT(at, done);
        at += 3;
    }
    size_t dumps = 0;
    for (const auto& l : lines) dumps += l.body.rfind("[info  ]", 0) == 0;
    EXPECT_EQ(dumps, 7u);
}

// A second run of the program in the same folder appends after the first record.
TEST_F(WholeUpload, ASecondRunAppendsAfterTheFirstRecord) {
    EXPECT_TRUE(R().both.compare(0, R().capture.size(), R().capture) == 0) << "the first record was not kept";
    const auto all = ParseCapture(R().both);
    EXPECT_EQ(Count(all, "[start]"), 2u);
    const size_t second = IndexOf(all, "[start]", 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(all[second].time, "");
    ASSERT_LT(second + 1, all.size());
    EXPECT_EQ(all[second + 1].body, "[pn]0");
}

TEST(CaptureFile, TheReadyScreenEstimateFollowsTheBlockCountAndBaudRate) {
    TempDir folder, home;
    ProgramSession s(folder.Path(), home.Path());
    TForm1& f = s.F();
    SimUnit sim(s.Folder(), 1);
    struct Case {
        int blocks;
        QString baud;
        std::string text;
    };
    // Upload block files need whole blocks with their checksums and a trailer to reach the ready
    // screen; 134 'A's sum to 0x06.
    const std::string block = std::string(134, 'A') + '\x06';
    for (const Case& c : {Case{1000, "38400", "Upload will be 1000 blocks, about 1 minute"},
                          Case{4000, "38400", "Upload will be 4000 blocks, about 4.5 minutes"},
                          Case{4000, "57600", "Upload will be 4000 blocks, about 4 minutes"},
                          Case{700, "57600", "Upload will be 700 blocks, less than 1 minute"}}) {
        Control<QPushButton>(f, "BtnBackToStart")->click();
        ASSERT_TRUE(s.OpenPort("1", c.baud));
        ASSERT_EQ(s.Text(Control<QLabel>(f, "Label12")), "Port is open on Com 1 at " + c.baud.toStdString() + " baud");
        const std::string name = "n" + std::to_string(c.blocks) + ".zup";
        ASSERT_TRUE(s.PrepareFile(name, Repeat(block, c.blocks) + "1234")) << name;
        EXPECT_EQ(f.Engine().BlockCount(), c.blocks);
        EXPECT_EQ(s.Text(Control<QLabel>(f, "Label8")), c.text);
        EXPECT_EQ(s.Text(Control<QLabel>(f, "Label15")), "THE UNIT MUST BE OFF");
    }
    EXPECT_TRUE(f.Messages.empty());
}

TEST(CaptureFile, TheUnitsFailureEndsCaptureAndTheButtonStartsItAgain) {
    TempDir folder, home;
    ProgramSession s(folder.Path(), home.Path());
    TForm1& f = s.F();
    SimUnit sim(s.Folder(), 1, {"--fail-at", "2"});
    ASSERT_TRUE(s.OpenPort("1"));
    ASSERT_TRUE(s.PrepareFile("f.h86", TestFirmware::Make(5, 22).hex));
    Control<QPushButton>(f, "BtnCaptureFile")->click();
    ASSERT_TRUE(f.Engine().CaptureOn());
    ASSERT_TRUE(s.StartAndWait());
    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label2")), "Upload failed");
    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label15")), "Software upload halted");
    // Off, and the screen says so.
    EXPECT_FALSE(f.Engine().CaptureOn());
    EXPECT_EQ(Control<QPushButton>(f, "BtnCaptureFile")->text().toStdString(), "&Enable Capture File");
    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label11")), "Disabled");
    const std::string atFailure = s.CaptureText();
    EXPECT_NE(atFailure.find("UPLOAD FAILED"), std::string::npos);
    // Nothing is recorded after the failure, though the sequencer goes on ticking.
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(s.CaptureText(), atFailure);

    // The next press switches it on again.
    Control<QPushButton>(f, "BtnCaptureFile")->click();
    EXPECT_TRUE(f.Engine().CaptureOn());
    EXPECT_EQ(Control<QPushButton>(f, "BtnCaptureFile")->text().toStdString(), "&Disable Capture File");
    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label11")), "Enabled");
    ASSERT_TRUE(WaitUntil([&] { return s.CaptureText().size() > atFailure.size() + 9; }));
    const auto lines = ParseCapture(s.CaptureText());
    EXPECT_EQ(Count(lines, "[start]"), 2u);
    EXPECT_EQ(lines.back().body, "[pn]0");
    EXPECT_TRUE(f.Messages.empty());
}

TEST(CaptureFile, ACaptureFileThatCannotBeOpenedLeavesCaptureOff) {
    TempDir folder, home;
    ProgramSession s(folder.Path(), home.Path());
    TForm1& f = s.F();
    const std::string path = s.Folder() + "Capture.txt";
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    SimUnit sim(s.Folder(), 1);
    ASSERT_TRUE(s.OpenPort("1"));
    const TestFirmware fw = TestFirmware::Make(6, 23);
    ASSERT_TRUE(s.PrepareFile("c.h86", fw.hex));

    // Pressed at the ready screen and again in the middle of the transfer: each press is one
    // message; the upload is not disturbed.
    Control<QPushButton>(f, "BtnCaptureFile")->click();
    ASSERT_EQ(f.Messages.size(), 1u);
    const std::string msg = f.Messages[0].toStdString();
    EXPECT_NE(msg.find(path), std::string::npos) << msg;
    EXPECT_NE(msg.find(std::strerror(EISDIR)), std::string::npos) << msg;
    EXPECT_FALSE(f.Engine().CaptureOn());
    EXPECT_EQ(Control<QPushButton>(f, "BtnCaptureFile")->text().toStdString(), "&Enable Capture File");
    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label11")), "Disabled");
    EXPECT_TRUE(s.Shown(Control<QPushButton>(f, "BtnStartRun")));

    Control<QPushButton>(f, "BtnStartRun")->click();
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().BlocksSent() >= 2; }));
    Control<QPushButton>(f, "BtnCaptureFile")->click();
    EXPECT_EQ(f.Messages.size(), 2u);
    EXPECT_FALSE(f.Engine().CaptureOn());
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().UploadState() == 0; }, 60000));
    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label15")), "Software Upload complete");
    EXPECT_EQ(f.Messages.size(), 2u);
    EXPECT_TRUE(FlashHolds(sim, fw.image));
}

namespace {


}  // namespace

TEST(CaptureFile, ACaptureFileThatStopsTakingLinesIsSwitchedOffAndTheUploadGoesOn) {
    TempDir folder, home;
    ProgramSession s(folder.Path(), home.Path());
    TForm1& f = s.F();
    SimUnit sim(s.Folder(), 1);
    ASSERT_TRUE(s.OpenPort("1"));
    const TestFirmware fw = TestFirmware::Make(8, 24);
    ASSERT_TRUE(s.PrepareFile("w.h86", fw.hex));
    Control<QPushButton>(f, "BtnCaptureFile")->click();
    ASSERT_TRUE(f.Engine().CaptureOn());

    std::unique_ptr<FileSizeLimit> limit;
    off_t sizeAtLimit = 0;
    Control<QPushButton>(f, "BtnStartRun")->click();
    // The file can take no more once the second block has gone out.
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().BlocksSent() >= 2; }));
    struct stat st {};
    ASSERT_EQ(::stat((s.Folder() + "Capture.txt").c_str(), &st), 0);
    sizeAtLimit = st.st_size;
    limit = std::make_unique<FileSizeLimit>(static_cast<rlim_t>(sizeAtLimit));
    ASSERT_TRUE(WaitUntil([&] { return f.Engine().UploadState() == 0; }, 60000)) << "state " << f.Engine().UploadState();
    // The record is written by its own thread: while the disk is still full.
    ASSERT_TRUE(WaitUntil([&] { return f.RecordsTried() == 1; }));
    limit.reset();

    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label15")), "Software Upload complete");
    EXPECT_TRUE(FlashHolds(sim, fw.image));
    // The capture's failure, then the job's record, which the full disk takes too (its journal
    // line may still fit).
    ASSERT_EQ(f.Messages.size(), 2u);
    EXPECT_TRUE(f.Messages[1].startsWith("the record was not kept") ||
                f.Messages[1].contains("it was kept in the journal"))
        << f.Messages[1].toStdString();
    const std::string msg = f.Messages[0].toStdString();
    EXPECT_NE(msg.find(s.Folder() + "Capture.txt"), std::string::npos) << msg;
    EXPECT_NE(msg.find(std::strerror(EFBIG)), std::string::npos) << msg;
    EXPECT_FALSE(f.Engine().CaptureOn());
    EXPECT_EQ(Control<QPushButton>(f, "BtnCaptureFile")->text().toStdString(), "&Enable Capture File");
    EXPECT_EQ(s.Text(Control<QLabel>(f, "Label11")), "Disabled");
    ASSERT_EQ(::stat((s.Folder() + "Capture.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, sizeAtLimit);
}
