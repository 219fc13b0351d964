// How each job ends, as its result says: one row per way a job can end, against the simulated unit
// in process; and two engines side by side in one process.
#include <cerrno>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "base/Sha256.h"
#include "engine/Protocol.h"
#include "tests/support/FakeUnit.h"
#include "tests/support/Firmware.h"

namespace {

constexpr int kAtTheStop = -2;  // as many as had gone when the job was stopped (5 or more)

// How a row's job is driven once the rig has its unit's switches.
enum class TDrive { Upload, PortFails, BadFile, EmptyFile, StopAtBlock5, Factory };

struct ResultCase {
    const char* name;
    SimOptions options;
    int chunks;
    TDrive drive;
    TResultKind kind;
    std::string reason;  // the whole reason, or its start when it ends in '*'
    int blocksSent;      // -1: all of them
    std::string version;
    std::vector<std::string> warnings;  // each is the start of one warning, in order
};

std::vector<ResultCase> ResultCases() {
    using K = TResultKind;
    return {
        {"verified", {}, 2000, TDrive::Upload, K::Verified, "verified, checksum *", -1, "1.01", {}},
        {"under 2000 blocks", {}, 40, TDrive::Upload, K::Sent, "40 blocks sent", -1, "", {}},
        {"no SWR answer", With([](auto& o) { o.noSwr = true; }), 2000, TDrive::Upload, K::NotVerified,
         "Upload not verified: the unit stopped answering after its restart (timed out waiting for SWR=)", -1, "", {}},
        {"no FCS answer", With([](auto& o) { o.noFcs = true; }), 2000, TDrive::Upload, K::NotVerified,
         "Upload not verified: timed out waiting for FCS", -1, "1.01", {}},
        {"checksums different", With([](auto& o) { o.wrongChecksum = true; }), 2000, TDrive::Upload,
         K::ChecksumsDifferent, "checksums different: unit *", -1, "1.01", {}},
        {"unit's failure", With([](auto& o) { o.failAt = 4; }), 40, TDrive::Upload, K::UnitFailed,
         "the unit reported UPLOAD FAILED", 4, "", {}},
        {"unexpected erase answer", With([](auto& o) { o.eraseTimeout = true; }), 40, TDrive::Upload, K::UnitFailed,
         "unexpected response: ERASE BLOCK TIMEOUT: 0005", 0, "", {}},
        {"never switched on", With([](auto& o) { o.wakeAfter = 100000; }), 40, TDrive::Upload, K::TimedOut,
         "timed out waiting for response", 0, "", {}},
        {"port does not open", {}, 40, TDrive::PortFails, K::PortFailed, "Com 1: Permission denied", 0, "", {}},
        {"bad HEX checksum", {}, 40, TDrive::BadFile, K::FileFailed, "*", 0, "", {}},
        {"no data for the flash", {}, 40, TDrive::EmptyFile, K::FileFailed, "*holds no data for the unit's flash", 0,
         "", {}},
        {"interrupted", {}, 40, TDrive::StopAtBlock5, K::Interrupted,
         "stopped at block *", kAtTheStop, "", {}},
        {"erase error, then complete", With([](auto& o) { o.eraseError = true; }), 40, TDrive::Upload, K::Sent,
         "40 blocks sent", -1, "", {"ERASE ERROR", "BLOCK 0003"}},
        {"one resend", With([](auto& o) { o.resendAt = 5; }), 40, TDrive::Upload, K::Sent, "40 blocks sent", -1, "",
         {"1 blocks sent again"}},
        {"the same block asked for again and again", With([](auto& o) { o.resendForever = 7; }), 40, TDrive::Upload,
         K::UnitFailed, "the unit asked for block 7 again 11 times; it last said *", 7, "",
         {"10 blocks sent again"}},
        {"a unit that falls silent for good", With([](auto& o) { o.muteAt = 6; }), 40, TDrive::Upload, K::TimedOut,
         "timed out waiting for SEND BLOCK message", 6, "", {"2 blocks sent again"}},
        {"factory complete", {}, 0, TDrive::Factory, K::FactoryComplete, "Factory Upload complete", -1, "", {}},
        {"factory, no identification", With([](auto& o) { o.noIdent = true; }), 0, TDrive::Factory, K::TimedOut,
         "Timed out waiting for response to initial character", 0, "", {}},
        {"factory, bad loader answer", With([](auto& o) { o.loader1Bad = true; }), 0, TDrive::Factory, K::UnitFailed,
         "Problem - bad checksum response to Loader1", 0, "", {}},
    };
}

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.name; }

bool Matches(const std::string& text, const std::string& pattern) {
    if (pattern.empty() || pattern.back() != '*') {
        if (!pattern.empty() && pattern.front() == '*') return text.size() >= pattern.size() - 1 &&
                                                                 text.compare(text.size() - pattern.size() + 1,
                                                                              std::string::npos, pattern, 1) == 0;
        return text == pattern;
    }
    return text.rfind(pattern.substr(0, pattern.size() - 1), 0) == 0;
}

// Drives the row's job and returns the file it prepared ("" for the factory job).
std::string Drive(EngineRig& rig, const ResultCase& c) {
    const TestFirmware fw = TestFirmware::Make(c.chunks, 3, 1);
    switch (c.drive) {
    case TDrive::Factory: rig.Factory(); return {};
    case TDrive::PortFails:
        rig.port.OpenFailure = "Permission denied";
        rig.port.OpenError = EACCES;
        rig.OpenPort();
        return {};
    case TDrive::BadFile: {
        std::string hex = fw.hex;
        hex[hex.find('\r') - 1] ^= 1;  // the first record's checksum
        rig.OpenPort();
        rig.Prepare("bad.h86", hex);
        return hex;
    }
    case TDrive::EmptyFile:
        rig.OpenPort();
        rig.Prepare("empty.h86", ":00000001FF\r\n");
        return ":00000001FF\r\n";
    default: break;
    }
    EXPECT_TRUE(rig.OpenPort());
    EXPECT_TRUE(rig.Prepare("fw.h86", fw.hex));
    if (c.drive == TDrive::Upload) {
        rig.Upload();
    } else {
        rig.E().StartUpload();
        while (rig.E().BlocksSent() < 5 && rig.Ticks() < 100000) rig.Tick();
        rig.E().Stop();
    }
    return fw.hex;
}

class JobResult : public ::testing::TestWithParam<ResultCase> {};

TEST_P(JobResult, SaysOnceHowTheJobEndedWithItsFacts) {
    const ResultCase& c = GetParam();
    EngineRig rig(c.options);
    const std::string file = Drive(rig, c);
    ASSERT_EQ(rig.view.results.size(), 1u) << "every job ends in exactly one result";
    const TJobResult& r = rig.view.results.front();

    EXPECT_EQ(ResultKindName(r.Kind), std::string(ResultKindName(c.kind)));
    EXPECT_TRUE(Matches(r.Reason, c.reason)) << r.Reason;
    if (c.blocksSent == kAtTheStop) {
        EXPECT_GE(r.BlocksSent, 5);
        EXPECT_EQ(r.Reason, "stopped at block " + std::to_string(r.BlocksSent) + " of 40; the unit must be uploaded again");
    } else {
        EXPECT_EQ(r.BlocksSent, c.blocksSent < 0 ? r.BlockCount : c.blocksSent);
    }
    EXPECT_EQ(r.UnitVersion, c.version);
    ASSERT_EQ(r.Warnings.size(), c.warnings.size()) << (r.Warnings.empty() ? "" : r.Warnings.front());
    for (size_t i = 0; i < c.warnings.size(); ++i) EXPECT_TRUE(Matches(r.Warnings[i], c.warnings[i] + "*")) << r.Warnings[i];
    EXPECT_EQ(r.Succeeded(), c.kind == TResultKind::Verified || c.kind == TResultKind::Sent ||
                                 c.kind == TResultKind::FactoryComplete);
    // Verified means the two checksums are equal; a comparison that failed keeps both.
    if (c.kind == TResultKind::Verified) {
        EXPECT_EQ(r.UnitChecksum, r.FileChecksum);
    }
    if (c.kind == TResultKind::ChecksumsDifferent) {
        EXPECT_NE(r.UnitChecksum, r.FileChecksum);
    }
    if (!file.empty()) {
        EXPECT_EQ(r.InputSha256, Sha256Hex(file));
        EXPECT_EQ(r.InputSize, static_cast<int64_t>(file.size()));
    }
    if (c.drive == TDrive::PortFails) {
        EXPECT_EQ(r.SystemReason, "Permission denied");
    }
    if (c.kind == TResultKind::TimedOut && c.drive == TDrive::Upload) {
        EXPECT_EQ("timed out " + r.Awaited, r.Reason);
    }
    EXPECT_EQ(r.UnitWritten, r.BlocksSent > 0 || c.kind == TResultKind::Verified ||
                                 c.drive == TDrive::Factory || c.drive == TDrive::StopAtBlock5 ||
                                 c.options.eraseTimeout);
    const bool preparation = c.drive == TDrive::BadFile || c.drive == TDrive::EmptyFile;
    EXPECT_EQ(r.Job, c.drive == TDrive::Factory ? TJob::Factory : preparation ? TJob::Prepare : TJob::Upload);
    EXPECT_EQ(LeavesRecord(r), !preparation);
    EXPECT_EQ(r.ComPort, 1);
}

// For each way a job goes: the stages it passes, what it awaits of the operator, and the port fault
// its result names, told as facts that no front end has to read off a screen.
struct StageCase {
    const char* name;
    SimOptions options;
    TDrive drive;
    std::vector<TStage> stages;
    std::vector<TOperatorStep> awaited;
    TPortFault fault;
};

std::vector<StageCase> StageCases() {
    using S = TStage;
    using A = TOperatorStep;
    const std::vector<S> opened{S::OpeningPort, S::Idle, S::Preparing, S::Ready, S::Idle, S::WakingUnit};
    const auto then = [&](std::vector<S> rest) {
        std::vector<S> all = opened;
        all.insert(all.end(), rest.begin(), rest.end());
        return all;
    };
    const std::vector<A> started{A::ChooseFile, A::None, A::StartUpload, A::SwitchUnitOn};
    const auto plus = [&](std::vector<A> rest) {
        std::vector<A> all = started;
        all.insert(all.end(), rest.begin(), rest.end());
        return all;
    };
    return {
        {"sent", {}, TDrive::Upload, then({S::Erasing, S::Sending, S::Finishing, S::Complete, S::Idle}),
         plus({A::None}), TPortFault::None},
        {"unit's failure", With([](auto& o) { o.failAt = 4; }), TDrive::Upload,
         then({S::Erasing, S::Sending, S::Ending, S::Idle}), plus({A::None}), TPortFault::None},
        {"never switched on", With([](auto& o) { o.wakeAfter = 100000; }), TDrive::Upload, then({S::Ending, S::Idle}),
         plus({A::None}), TPortFault::NoAnswer},
        {"line lost", With([](auto& o) { o.vanishAfter = 3; }), TDrive::Upload,
         then({S::Erasing, S::Sending, S::Ending, S::Idle}), plus({A::None}), TPortFault::LineLost},
        {"port does not open", {}, TDrive::PortFails, {S::OpeningPort, S::Idle}, {}, TPortFault::Permission},
        {"bad file", {}, TDrive::BadFile, {S::OpeningPort, S::Idle, S::Preparing, S::Idle}, {A::ChooseFile, A::None},
         TPortFault::None},
        {"factory complete", {}, TDrive::Factory,
         {S::OpeningPort, S::Idle, S::Identifying, S::SendingLoaders, S::SendingBootstrap, S::PreparingFlashCode,
          S::WakingUnit, S::Erasing, S::Sending, S::Finishing, S::Ending, S::Idle},
         {A::FitJumpers, A::None, A::RemoveJumpers}, TPortFault::None},
    };
}

void PrintTo(const StageCase& c, std::ostream* os) { *os << c.name; }

std::string Names(const std::vector<TStage>& stages) {
    std::string text;
    for (TStage s : stages) text += std::string(text.empty() ? "" : " ") + StageName(s);
    return text;
}

class JobStages : public ::testing::TestWithParam<StageCase> {};

TEST_P(JobStages, AreToldAsFactsWithTheAwaitedStepsAndThePortFault) {
    const StageCase& c = GetParam();
    EngineRig rig(c.options);
    ResultCase drive{c.name, c.options, 40, c.drive, TResultKind::Sent, "", 0, "", {}};
    Drive(rig, drive);
    EXPECT_EQ(Names(rig.view.stages), Names(c.stages));
    EXPECT_EQ(rig.view.awaited, c.awaited);
    ASSERT_EQ(rig.view.results.size(), 1u);
    EXPECT_EQ(PortFaultName(rig.view.results.front().PortFault), std::string(PortFaultName(c.fault)));
}

INSTANTIATE_TEST_SUITE_P(EveryWay, JobStages, ::testing::ValuesIn(StageCases()), CaseName<::testing::TestParamInfo<StageCase>>);

INSTANTIATE_TEST_SUITE_P(EveryEnd, JobResult, ::testing::ValuesIn(ResultCases()), CaseName<::testing::TestParamInfo<ResultCase>>);

TEST(Sha256, KnownDigestsOverOneAndTwoFinalBlocks) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& [text, digest] : cases) EXPECT_EQ(Sha256Hex(text), digest) << text;
}

// Two engines in one process, each with its own unit, stepped in turn tick by tick: neither job
// sees the other's bytes, files or result. The factory jobs share a program folder, so their
// scratch files must not be shared.
TEST(TwoEngines, RunSideBySideInOneProcessAndBothEndRight) {
    TempDir shared;
    EngineRig a({}, shared.Path() + "/"), b({}, shared.Path() + "/");
    EngineRig c({}, shared.Path() + "/"), d({}, shared.Path() + "/");
    c.E().SetPrivateFactoryFiles("c");
    d.E().SetPrivateFactoryFiles("d");
    const TestFirmware fa = TestFirmware::Make(60, 1, 1), fb = TestFirmware::Make(90, 2, 2);
    ASSERT_TRUE(a.OpenPort() && b.OpenPort());
    ASSERT_TRUE(a.Prepare("a.h86", fa.hex) && b.Prepare("b.h86", fb.hex));
    a.E().StartUpload();
    b.E().StartUpload();
    for (EngineRig* r : {&c, &d}) r->E().OpenFactoryPort("1");
    bool goneOn = false;
    for (long t = 0; t < 200000 && !(a.E().Resting() && b.E().Resting() && c.E().Resting() && d.E().Resting() && goneOn);
         ++t) {
        for (EngineRig* r : {&a, &b, &c, &d}) r->Tick();
        if (!goneOn && c.view.offered.count(TOffer::GoOn) && d.view.offered.count(TOffer::GoOn)) {
            c.E().GoOn();
            d.E().GoOn();
            goneOn = true;
        }
    }
    EXPECT_EQ(a.port.Flash(), fa.image);
    EXPECT_EQ(b.port.Flash(), fb.image);
    for (EngineRig* r : {&a, &b, &c, &d}) {
        ASSERT_EQ(r->view.results.size(), 1u);
        EXPECT_TRUE(r->view.results.front().Succeeded()) << r->view.results.front().Reason;
    }
    EXPECT_EQ(a.view.results.front().InputSha256, Sha256Hex(fa.hex));
    EXPECT_EQ(b.view.results.front().InputSha256, Sha256Hex(fb.hex));
    EXPECT_EQ(c.port.Flash(), d.port.Flash());
    EXPECT_NE(c.E().ZupFileName(), d.E().ZupFileName());
    EXPECT_EQ(c.E().ZupFileName().rfind(shared.Path(), 0), 0u);
    for (const auto& entry : std::filesystem::directory_iterator(shared.Path()))
        EXPECT_NE(entry.path().filename().string().rfind("Reserved", 0), 0u)
            << entry.path() << ": the factory jobs' own scratch files go with them";
}

}  // namespace
