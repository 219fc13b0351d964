// The Software Upload, run by the engine against the simulated unit in process: every outcome of
// the dialogue, every wait that runs out, tick by tick in virtual time.
#include <cerrno>

#include "base/Sha256.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/Protocol.h"
#include "tests/support/FakeUnit.h"
#include "tests/support/Firmware.h"

namespace {

const std::string kSuccess = "Software Upload complete";
const std::string kVerified = "Checksums match, Upload successful";

struct UploadCase {
    const char* name;
    SimOptions options;
    int chunks;
    std::string activity;  // the last activity line ("" = none expected)
    std::string headline;
    bool flashHoldsImage;
    std::string baud = "38400";
    bool verify = false;       // a line that verifies every unit
    std::string version = "";  // the software version the unit must report
};

std::vector<UploadCase> UploadCases() {
    return {
        {"plain", {}, 40, "", kSuccess, true},
        {"resend request", With([](auto& o) { o.resendAt = 5; }), 40, "", kSuccess, true},
        {"silence after a block", With([](auto& o) { o.silentAfter = 5; }), 40, "", kSuccess, true},
        {"base index line", With([](auto& o) { o.baseIndexAt = 5; }), 40, "", kSuccess, true},
        {"erase error", With([](auto& o) { o.eraseError = true; }), 40, "", kSuccess, true},
        {"invalid start line", With([](auto& o) { o.invalidStart = true; }), 40, "", kSuccess, true},
        {"slow unit", With([](auto& o) { o.slowMs = 40; }), 40, "", kSuccess, true},
        {"unit's failure", With([](auto& o) { o.failAt = 4; }), 40, "Upload failed", "Software upload halted", false},
        {"erase timeout line", With([](auto& o) { o.eraseTimeout = true; }), 40,
         "unexpected response: ERASE BLOCK TIMEOUT: 0005", "", false},
        {"never switched on", With([](auto& o) { o.wakeAfter = 100000; }), 40, "Timed out waiting for response", "",
         false},
        {"no ERASING", With([](auto& o) { o.noErasing = true; }), 40, "Timed out waiting for Erasing message", "", false},
        {"erase never ends", With([](auto& o) { o.noEraseComplete = true; }), 40,
         "Timed out waiting for Erase Complete/Timeout", "", false},
        {"no THANK YOU", With([](auto& o) { o.noThankYou = true; }), 40, "Timed out waiting for Thank You",
         "Upload done...", true},
        {"line vanishes", With([](auto& o) { o.vanishAfter = 5; }), 40, "Timed out waiting for SEND BLOCK message", "",
         false},
        {"noise between lines", With([](auto& o) { o.noise = true, o.seed = 5, o.seedGiven = true; }), 40, "", kSuccess,
         true},
        {"unit at 38400, line at 57600", {}, 40, "", kSuccess, true, "57600"},
        {"line at 19200", {}, 40, "Timed out waiting for response", "", false, "19200"},
        {"line at 9600", {}, 40, "Timed out waiting for response", "", false, "9600"},
        {"1999 blocks, no query", {}, 1999, "", kSuccess, true},
        {"verified", {}, 2000, "", kVerified, true},
        {"wrong unit checksum", With([](auto& o) { o.wrongChecksum = true; }), 2000, "",
         "Checksums different, Upload failed", true},
        {"no SWR answer", With([](auto& o) { o.noSwr = true; }), 2000, "Timed out waiting for SWR=",
         "Upload not verified", true},
        {"no FCS answer", With([](auto& o) { o.noFcs = true; }), 2000, "Timed out waiting for FCS",
         "Upload not verified", true},
        {"40 blocks verified on request", {}, 40, "", kVerified, true, "38400", true},
        {"verified on request at 57600", {}, 40, "", kVerified, true, "57600", true},
        {"40 blocks on request, wrong checksum", With([](auto& o) { o.wrongChecksum = true; }), 40, "",
         "Checksums different, Upload failed", true, "38400", true},
        {"40 blocks on request, no SWR answer", With([](auto& o) { o.noSwr = true; }), 40,
         "Timed out waiting for SWR=", "Upload not verified", true, "38400", true},
        {"the version required", {}, 40, "", kVerified, true, "38400", false, "1.01"},
        {"another version", {}, 40, "", "Software version different, Upload failed", true, "38400", false, "2.00"},
    };
}

void PrintTo(const UploadCase& c, std::ostream* os) { *os << c.name; }

class SoftwareUploadOutcome : public ::testing::TestWithParam<UploadCase> {};

TEST_P(SoftwareUploadOutcome, EndsWithItsTextsAndNeverClaimsWhatDidNotHappen) {
    const UploadCase& c = GetParam();
    EngineRig rig(c.options);
    rig.E().SetUploadChecks(c.verify, c.version);
    const TestFirmware fw = TestFirmware::Make(c.chunks, 11, 1);
    ASSERT_TRUE(rig.OpenPort("1", c.baud));
    ASSERT_TRUE(rig.Prepare("fw.h86", fw.hex)) << rig.view.Line(TLine::PortStatus);
    ASSERT_GE(rig.Upload(), 0) << "still in state " << rig.E().UploadState();

    EXPECT_EQ(rig.view.Line(TLine::Activity), c.activity);
    EXPECT_EQ(rig.view.Line(TLine::Headline), c.headline);
    EXPECT_EQ(rig.port.Flash() == fw.image, c.flashHoldsImage);
    EXPECT_TRUE(rig.view.messages.empty()) << rig.view.messages.front();
    if (c.activity.rfind("Timed out ", 0) == 0) {
        EXPECT_EQ(rig.view.history.back(), c.activity);
        EXPECT_TRUE(rig.view.offered.count(TOffer::RepeatUpload) && rig.view.offered.count(TOffer::BackToStart));
    }
    // The invariant of every row: a success text only over a flash that holds the image.
    const std::string headline = rig.view.Line(TLine::Headline);
    if (headline == kSuccess || headline == kVerified) {
        EXPECT_EQ(rig.port.Flash(), fw.image);
    }
    // The record's speed is the upload's, never the 9600 of the verification after it.
    for (const TJobResult& r : rig.view.results) EXPECT_EQ(r.Baud, std::stoi(c.baud));
    if ((c.chunks >= 2000 || c.verify || !c.version.empty()) && headline == kSuccess)
        ADD_FAILURE() << "an upload that had to be verified left unverified as a success";
    // Asked for, the unit was asked for its version and checksum; the result says what came of it.
    if (c.verify || !c.version.empty()) {
        ASSERT_EQ(rig.view.results.size(), 1u);
        const TJobResult& r = rig.view.results.back();
        EXPECT_NE(rig.port.Sent().find("SWR?"), std::string::npos) << "the unit was never asked";
        if (headline == kVerified) {
            EXPECT_EQ(r.Kind, TResultKind::Verified);
        }
        if (c.version == "2.00") {
            EXPECT_EQ(r.Kind, TResultKind::VersionDifferent);
            EXPECT_EQ(r.Reason, "software version different: unit 1.01, required 2.00");
            EXPECT_FALSE(r.Succeeded());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, SoftwareUploadOutcome, ::testing::ValuesIn(UploadCases()),
                         CaseName<::testing::TestParamInfo<UploadCase>>);

TEST(EngineUpload, AVanishedLineNamesTheSystemsReason) {
    SimOptions o;
    o.vanishAfter = 3;
    EngineRig rig(o);
    ASSERT_TRUE(rig.OpenPort());
    ASSERT_TRUE(rig.Prepare("fw.h86", TestFirmware::Make(20, 3).hex));
    const long ticks = rig.Upload();
    ASSERT_GE(ticks, 0);
    EXPECT_LT(ticks, Protocol::kTransferReplyTicks) << "a device that fails on read is lost at once, not after the reply wait";
    ASSERT_FALSE(rig.view.results.empty());
    const TJobResult& r = rig.view.results.back();
    EXPECT_EQ(r.SystemReason, "Input/output error");
    EXPECT_EQ(r.PortFault, TPortFault::LineLost);
    EXPECT_EQ(r.Reason, "the line to the unit went away on " + r.Device + ": Input/output error");
}

TEST(EngineUpload, APortThatDoesNotOpenGivesItsReasonAfterTwentyTicks) {
    EngineRig rig;
    rig.port.OpenFailure = "No such file or directory";
    rig.port.OpenError = ENOENT;
    ASSERT_TRUE(rig.E().OpenUploadPort("7", "38400"));
    EXPECT_EQ(rig.RunUntilIdle(), 22);  // 5, then 20 ticks of 6, then 10
    EXPECT_EQ(rig.view.Line(TLine::PortStatus), "Port did not open on Com 7 at 38400 baud");
    ASSERT_FALSE(rig.view.results.empty());
    EXPECT_EQ(rig.view.results.back().SystemReason, "No such file or directory");
    EXPECT_EQ(rig.view.results.back().PortFault, TPortFault::Missing);
    EXPECT_EQ(rig.view.offered.count(TOffer::ChooseFile), 0u);
    EXPECT_EQ(rig.view.offered.count(TOffer::BackToStart), 1u) << "another port is tried from the start";
}

// A unit that chatters without ever saying what a wait expects must still run the wait out after
// the same number of ticks: a step run because bytes arrived is not a try.
TEST(EngineUpload, EveryWaitLimitCountsTicksWhateverArrivesBetweenThem) {
    struct Case {
        const char* name;
        SimOptions options;
        int chunks;
        std::vector<int32_t> waitStates;  // the states of the wait that runs out
    };
    const Case cases[] = {
        {"wake-up", With([](auto& o) { o.wakeAfter = 100000; }), 10, {State::AwaitReady}},
        {"ERASING", With([](auto& o) { o.noErasing = true; }), 10, {State::AwaitErasing}},
        {"erase end", With([](auto& o) { o.noEraseComplete = true; }), 10, {State::AwaitEraseEnd}},
        {"THANK YOU", With([](auto& o) { o.noThankYou = true; }), 10, {State::AwaitThankYou}},
        {"SWR", With([](auto& o) { o.noSwr = true; }), 2000, {State::SendSwrQuery, State::AwaitSwr}},
        {"FCS", With([](auto& o) { o.noFcs = true; }), 2000, {State::AwaitFcs}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TestFirmware fw = TestFirmware::Make(c.chunks, 5, 1);
        long ticks[2] = {};
        std::string texts[2];
        for (int chatter = 0; chatter < 2; ++chatter) {
            EngineRig rig(c.options);
            ASSERT_TRUE(rig.OpenPort());
            ASSERT_TRUE(rig.Prepare("fw.h86", fw.hex));
            if (chatter) rig.port.Chatter = "~z";
            rig.E().StartUpload();
            for (long n = 0; rig.E().UploadState() != State::Idle && n < 100000; ++n) {
                const int32_t state = rig.E().UploadState();
                rig.Tick();
                if (std::count(c.waitStates.begin(), c.waitStates.end(), state)) ++ticks[chatter];
            }
            texts[chatter] = rig.view.Line(TLine::Activity);
            if (chatter && c.options.wakeAfter < 100000) {
                EXPECT_GT(rig.E().ArrivalSteps(), ticks[chatter] / 2);
            }
        }
        EXPECT_EQ(ticks[1], ticks[0]);
        EXPECT_EQ(texts[1], texts[0]);
        EXPECT_EQ(texts[0].rfind("Timed out ", 0), 0u) << texts[0];
    }
}

TEST(EngineUpload, ALineWithoutLineEndsNeitherGrowsTheBufferNorTheCaptureWithoutBound) {
    SimOptions o;
    o.noErasing = true;  // a 1000-tick wait for a line that never comes
    EngineRig rig(o);
    ASSERT_TRUE(rig.OpenPort());
    ASSERT_TRUE(rig.Prepare("fw.h86", TestFirmware::Make(10, 5).hex));
    rig.E().ToggleCapture();
    ASSERT_TRUE(rig.E().CaptureOn());
    rig.port.Chatter = std::string(200, 'g');
    rig.E().StartUpload();
    size_t longest = 0;
    long ticks = 0;
    while (rig.E().UploadState() != State::Idle && ticks++ < 2000) {
        rig.Tick();
        longest = std::max(longest, rig.E().BufferedBytes());
    }
    rig.E().CloseCapture();
    const size_t received = 200 * static_cast<size_t>(ticks);
    EXPECT_LE(longest, TUnitLink::kRxLimit);
    const auto captured = std::filesystem::file_size(rig.Folder() + "Capture.txt");
    EXPECT_LT(captured, 3 * received) << "received " << received;
}

// Answering at once changes the pace, not the conversation: the capture file of a run that steps
// only on ticks and of one that answers arrivals hold the same lines apart from the state lines.
TEST(EngineUpload, AnsweringAtOnceKeepsEveryByteAndTextOfTheConversation) {
    const TestFirmware fw = TestFirmware::Make(200, 9, 2);
    std::string sent[2], history[2], flash[2];
    long ticks[2];
    for (int atOnce = 0; atOnce < 2; ++atOnce) {
        SimOptions o;
        o.resendAt = 4;
        o.baseIndexAt = 9;
        o.eraseError = true;
        EngineRig rig(o);
        rig.E().SetAnswerAtOnce(atOnce != 0);
        ASSERT_TRUE(rig.OpenPort());
        ASSERT_TRUE(rig.Prepare("fw.h86", fw.hex));
        ticks[atOnce] = rig.Upload();
        sent[atOnce] = rig.port.Sent();
        for (const auto& l : rig.view.history) history[atOnce] += l + "\n";
        flash[atOnce] = rig.port.Flash();
        EXPECT_EQ(rig.view.Line(TLine::Headline), kSuccess);
    }
    // Only the number of wake-up characters may differ: the unit wakes at the same one.
    EXPECT_EQ(sent[1], sent[0]);
    EXPECT_EQ(history[1], history[0]);
    EXPECT_EQ(flash[1], fw.image);
    // On ticks a block costs a tick; answering at once, what the wire takes (135 bytes out, a
    // 12-byte request back, 10 bits each at 38400 baud), plus the steps that keep to the tick.
    const double wireTicks = 200 * 147 * 10 / 38400.0 / 0.05;
    EXPECT_GE(ticks[0], 200);
    EXPECT_LE(ticks[1], wireTicks + 25) << "answering at once took " << ticks[1] << " ticks, on ticks " << ticks[0];
}

// A driver that refuses low latency slows every reply but stops nothing: the unit is loaded and
// its result says why its link may be slow.
TEST(EngineUpload, ADriverThatRefusesLowLatencyIsNamedInEveryUnitsResult) {
    EngineRig rig;
    rig.port.LowLatencyError = EPERM;
    ASSERT_TRUE(rig.OpenPort());
    ASSERT_TRUE(rig.Prepare("fw.h86", TestFirmware::Make(5, 2).hex));
    ASSERT_GE(rig.Upload(), 0);
    ASSERT_FALSE(rig.view.results.empty());
    const TJobResult& r = rig.view.results.back();
    EXPECT_EQ(r.Kind, TResultKind::Sent);
    ASSERT_EQ(r.Warnings.size(), 1u);
    EXPECT_EQ(r.Warnings[0], "the adapter's driver refused low latency (Operation not permitted): each reply may "
                             "wait for its latency timer; see zupflshc ports");
}

TEST(EngineUpload, AFileThatCannotBePreparedIsReportedOnceAndTheChoiceOfferedAgain) {
    EngineRig rig;
    ASSERT_TRUE(rig.OpenPort());
    std::string hex = TestFirmware::Make(5, 2).hex;
    hex.replace(hex.find(':', 10) + 1, 2, "G1");  // a record that is not hexadecimal
    EXPECT_FALSE(rig.Prepare("bad.h86", hex));
    ASSERT_EQ(rig.view.messages.size(), 1u);
    EXPECT_EQ(rig.view.Line(TLine::PortStatus), "Preparing input file failed, choose another file");
    EXPECT_TRUE(rig.view.offered.count(TOffer::ChooseFile));
    EXPECT_EQ(rig.E().UploadState(), State::Idle);
    for (int i = 0; i < 5; ++i) rig.Tick();
    EXPECT_EQ(rig.view.messages.size(), 1u);
}

}  // namespace

// What goes to the unit is what was prepared and checked: the upload block file changed on disk
// after its preparation (another user, a build script) reaches neither the unit nor the result,
// nor the next unit of a loop, which is sent the same upload from memory.
TEST(EngineUpload, TheUnitGetsTheImageThatWasPreparedWhateverTheFileBecomesAfterwards) {
    for (const char* input : {"fw.h86", "fw.zup"}) {
        EngineRig rig;
        const TestFirmware a = TestFirmware::Make(30, 1, 1), b = TestFirmware::Make(30, 2, 1);
        ASSERT_TRUE(rig.OpenPort());
        // The .zup of `a`, prepared by a rig of its own.
        EngineRig maker;
        ASSERT_TRUE(maker.OpenPort() && maker.Prepare("a.h86", a.hex));
        const std::string zupOfA = ReadWholeFile(maker.Home() + "a.ZUP");
        const bool zup = std::string(input) == "fw.zup";
        ASSERT_TRUE(rig.Prepare(input, zup ? zupOfA : a.hex));
        const std::string checked = rig.E().PreparedChecksum();
        // Another image in its place, before the start and again in the middle of the transfer.
        EngineRig other;
        ASSERT_TRUE(other.OpenPort() && other.Prepare("b.h86", b.hex));
        const std::string swapped = ReadWholeFile(other.Home() + "b.ZUP");
        WriteWholeFile(rig.Home() + "fw.ZUP", swapped);
        rig.E().StartUpload();
        while (rig.E().BlocksSent() < 10 && rig.Ticks() < 100000) rig.Tick();
        WriteWholeFile(rig.Home() + "fw.ZUP", std::string(swapped.size(), 'A'));
        ASSERT_GE(rig.RunUntilIdle(), 0);
        EXPECT_EQ(rig.port.Flash(), a.image) << input;
        ASSERT_EQ(rig.view.results.size(), 1u);
        EXPECT_EQ(rig.view.results.front().FileChecksum, checked);
        // The next unit, with the firmware itself replaced too.
        WriteWholeFile(rig.Home() + input, zup ? swapped : b.hex);
        WriteWholeFile(rig.Home() + "fw.ZUP", swapped);
        rig.port.Model().PowerCycle(rig.port.Now());
        rig.E().NextUnit();
        ASSERT_GE(rig.Upload(), 0);
        EXPECT_EQ(rig.port.Flash(), a.image) << input;
        ASSERT_EQ(rig.view.results.size(), 2u);
        for (const TJobResult& r : rig.view.results) {
            EXPECT_EQ(r.Kind, TResultKind::Sent) << input;
            EXPECT_EQ(r.InputSha256, Sha256Hex(zup ? zupOfA : a.hex)) << input;
            EXPECT_EQ(r.UploadSha256, Sha256Hex(zupOfA.substr(0, zupOfA.size() - 4))) << input;
        }
    }
}

// The record names the firmware by the bytes the preparation read: a file replaced between the
// choice and the step that reads it is named by what was prepared, not by what was there before.
TEST(EngineUpload, TheInputIsNamedByTheBytesThatWerePrepared) {
    EngineRig rig;
    const TestFirmware a = TestFirmware::Make(12, 1, 1), b = TestFirmware::Make(15, 2, 1);
    ASSERT_TRUE(rig.OpenPort());
    WriteWholeFile(rig.Home() + "fw.h86", a.hex);
    rig.E().Prepare(rig.Home() + "fw.h86");
    WriteWholeFile(rig.Home() + "fw.h86", b.hex);  // before the step that reads it
    ASSERT_GE(rig.RunUntilIdle(100), 0);
    ASSERT_EQ(rig.view.prepared.size(), 1u);
    const TJobResult& r = rig.view.prepared.front();
    EXPECT_EQ(r.BlockCount, 15);
    EXPECT_EQ(r.InputSha256, Sha256Hex(b.hex));
    EXPECT_EQ(r.InputSize, static_cast<int64_t>(b.hex.size()));
}

// A file that holds nothing for the unit, or only part of what it should, never erases it.
TEST(EngineUpload, AFileWithNoWholeImageNeverReachesTheUnit) {
    const TestFirmware fw = TestFirmware::Make(20, 5, 1);
    std::string corruptZup;
    {
        EngineRig maker;
        EXPECT_TRUE(maker.OpenPort() && maker.Prepare("c.h86", fw.hex));
        corruptZup = ReadWholeFile(maker.Home() + "c.ZUP");
        corruptZup[3 * 135 + 40] ^= 0x10;  // inside block 4
    }
    const std::string cut = fw.hex.substr(0, fw.hex.size() / 2);
    const struct {
        const char* name;
        std::string content;
        std::string message;  // a part of the one message
    } cases[] = {
        {"empty.h86", "", "the file is empty"},
        {"end-only.h86", ":00000001FF\r\n", "holds no data for the unit's flash"},
        {"cut.h86", cut.substr(0, cut.rfind('\n') + 1), "incomplete"},
        {"elsewhere.h86", ":020000040800F2\r\n:0400000001020304F2\r\n:00000001FF\r\n", "left out"},
        {"zero.bin", "", "holds no data for the unit's flash"},
        {"trailer.zup", "FFBE", "holds no data for the unit's flash"},
        {"corrupt.zup", corruptZup, "block 4"},
    };
    for (const auto& c : cases) {
        EngineRig rig;
        ASSERT_TRUE(rig.OpenPort());
        EXPECT_FALSE(rig.Prepare(c.name, c.content)) << c.name;
        rig.E().StartUpload();  // even so: nothing may go out
        rig.RunUntilIdle(400);
        EXPECT_EQ(rig.port.Sent().find("GO\r"), std::string::npos) << c.name << ": the unit was erased";
        std::string all;
        for (const auto& m : rig.view.messages) all += m + "\n";
        EXPECT_NE(all.find(c.message), std::string::npos) << c.name << ": " << all;
        EXPECT_NE(all.find(c.name), std::string::npos) << c.name << ": the message names the file";
        const std::string name = c.name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".h86") == 0) {
            EXPECT_FALSE(std::filesystem::exists(rig.Home() + name.substr(0, name.size() - 4) + ".BIN"))
                << c.name << ": a failed preparation leaves no .BIN";
        }
    }
}

// Each row: an adapter holding every reply `latencyMs` (an FTDI chip's timer is 16 ms by default) at
// a line speed; the pace the result carries, and whether the port is then said to be a slow link.
TEST(EngineUpload, AnAdapterHoldingTheRepliesShowsInTheUploadsPace) {
    const struct {
        const char* name;
        int latencyMs;
        const char* baud;
        double ratioFrom, ratioTo, replyFrom, replyTo;
        bool slow;
    } rows[] = {
        {"no latency at 57600", 0, "57600", 0.95, 1.0, 0, 4, false},
        {"16 ms at 57600", 16, "57600", 0.55, 0.66, 16, 20, true},
        {"16 ms at 38400", 16, "38400", 0.65, 0.75, 16, 21, true},
        {"2 ms at 57600", 2, "57600", 0.85, 0.95, 2, 6, false},
    };
    for (const auto& row : rows) {
        EngineRig rig(With([&](SimOptions& o) { o.replyLatencyMs = row.latencyMs; }));
        ASSERT_TRUE(rig.OpenPort("1", row.baud)) << row.name;
        ASSERT_TRUE(rig.Prepare("fw.h86", TestFirmware::Make(60, 3).hex)) << row.name;
        ASSERT_GE(rig.Upload(), 0) << row.name;
        ASSERT_FALSE(rig.view.results.empty()) << row.name;
        const TJobResult& r = rig.view.results.back();
        EXPECT_TRUE(r.Succeeded()) << row.name << ": " << r.Reason;
        EXPECT_GE(r.WireRatio, row.ratioFrom) << row.name;
        EXPECT_LE(r.WireRatio, row.ratioTo) << row.name;
        EXPECT_GE(r.ReplyMedianMs, row.replyFrom) << row.name;
        EXPECT_LE(r.ReplyMedianMs, row.replyTo) << row.name;
        const std::string said = SlowLinkText(r.WireRatio);
        EXPECT_EQ(!said.empty(), row.slow) << row.name << ": " << said;
        EXPECT_TRUE(!row.slow || said.rfind("slow link: 0.", 0) == 0) << said;
    }
    EXPECT_EQ(SlowLinkText(0.61), "slow link: 0.61 of the wire; a USB adapter's latency timer (see `zupflshc ports`)");
    EXPECT_EQ(SlowLinkText(0.05), "slow link: 0.05 of the wire; a USB adapter's latency timer (see `zupflshc ports`)");
}
