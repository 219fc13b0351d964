// The Factory Bootstrap Upload, run by the engine against the simulated unit in process: the
// bootstrap loader's every answer and silence, then the FlashCode stage.
#include <gtest/gtest.h>

#include <cstdio>

#include <filesystem>

#include "tests/support/FakeUnit.h"

namespace {

struct FactoryCase {
    const char* name;
    SimOptions options;
    std::string lastHistory;  // the history's last line
    bool completes;
};

std::vector<FactoryCase> FactoryCases() {
    return {
        {"plain", {}, "", true},
        {"bad ack four times", With([](auto& o) { o.badAckRecord = 12, o.badAckTimes = 4; }), "", true},
        {"other ident byte", With([](auto& o) { o.ident = 0xB5; }), "", true},
        {"no ident", With([](auto& o) { o.noIdent = true; }), "Timed out waiting for response to initial character",
         false},
        {"wrong ident", With([](auto& o) { o.ident = 0x42; }), "Got C161 response: B", false},
        {"loader 1 silent", With([](auto& o) { o.loader1Silent = true; }), "Timed out waiting for response to Loader 1",
         false},
        {"loader 1 bad", With([](auto& o) { o.loader1Bad = true; }), "Problem - bad checksum response to Loader1", false},
        {"loader 2 silent", With([](auto& o) { o.loader2Silent = true; }), "Timed out waiting for response to Loader 2",
         false},
        {"loader 2 bad", With([](auto& o) { o.loader2Bad = true; }), "Problem - bad checksum response to Loader 2",
         false},
        {"bad ack five times", With([](auto& o) { o.badAckRecord = 30, o.badAckTimes = 5; }),
         "Problem - got bad checksum 5 times, bad cable?", false},
        {"record silent", With([](auto& o) { o.recordSilent = 77; }), "Timed out waiting for response to Bootstrap line",
         false},
        {"FlashCode failure", With([](auto& o) { o.failAt = 2; }), "Upload failed", false},
        {"no THANK YOU", With([](auto& o) { o.noThankYou = true; }), "Timed out waiting for Thank You", false},
    };
}

void PrintTo(const FactoryCase& c, std::ostream* os) { *os << c.name; }

class FactoryOutcome : public ::testing::TestWithParam<FactoryCase> {};

TEST_P(FactoryOutcome, EndsWithItsHistoryLine) {
    const FactoryCase& c = GetParam();
    EngineRig rig(c.options);
    ASSERT_GE(rig.Factory(), 0) << "state " << rig.E().UploadState();
    ASSERT_FALSE(rig.view.history.empty());
    const bool completed = rig.view.HistoryHas("FlashCode Upload complete");
    EXPECT_EQ(completed, c.completes);
    if (!c.completes) {
        EXPECT_EQ(rig.view.history.back(), c.lastHistory);
    }
    if (completed) {
        EXPECT_EQ(rig.view.history.back().rfind("Factory Upload completed in ", 0), 0u);
        EXPECT_EQ(rig.port.Model().GetState(), Unit::State::Done);
        EXPECT_EQ(rig.view.Line(TLine::JumperNote),
                  "Turn off power to the Unit and remove the Bootstrap jumpers JP1 and JP2");
        // The intermediate files of the FlashCode stage do not stay behind.
        EXPECT_FALSE(std::filesystem::exists(rig.Folder() + "Reserved.ZUP"));
        EXPECT_FALSE(std::filesystem::exists(rig.Folder() + "Reserved.BIN"));
    }
    EXPECT_TRUE(rig.view.offered.count(TOffer::BackToStart) || c.lastHistory.rfind("Timed out waiting for response to", 0) == 0 ||
                c.lastHistory.rfind("Problem", 0) == 0 || c.lastHistory.rfind("Got C161", 0) == 0);
    EXPECT_TRUE(rig.view.messages.empty());
    // A repeat from the factory screen would lead to the hidden Software Upload screen.
    EXPECT_FALSE(rig.view.offered.count(TOffer::RepeatUpload));
}

INSTANTIATE_TEST_SUITE_P(Engine, FactoryOutcome, ::testing::ValuesIn(FactoryCases()),
                         CaseName<::testing::TestParamInfo<FactoryCase>>);

TEST(EngineFactory, TheBootstrapRecordsGoAtTheSpeedOfTheirAcknowledgements) {
    EngineRig rig;
    ASSERT_GE(rig.Factory(), 0);
    ASSERT_TRUE(rig.view.HistoryHas("FlashCode Upload complete"));
    // 161 records of the bootstrap image no longer take a tick each.
    EXPECT_LT(rig.Ticks(), 161);
}

TEST(EngineFactory, APortThatDoesNotOpenIsInTheHistory) {
    EngineRig rig;
    rig.port.OpenFailure = "Permission denied";
    rig.E().OpenFactoryPort("4");
    EXPECT_GE(rig.RunUntilIdle(), 0);
    EXPECT_EQ(rig.view.history, (std::vector<std::string>{"Opening Com Port 4...", "Com Port failed to open"}));
    EXPECT_TRUE(rig.view.offered.count(TOffer::BackToStart)) << "another port is tried without a restart";
}

}  // namespace

// The factory screen's estimate follows the job as it runs: against a unit that takes the bytes at
// the line's speed, the job's time lies within a second of it.
TEST(EngineFactory, TheEstimateIsTheTimeTheJobTakes) {
    EngineRig rig;
    rig.E().OpenFactoryPort("1");
    rig.RunUntilIdle(100);
    const std::string estimate = rig.view.Line(TLine::FactoryEstimate);
    ASSERT_EQ(estimate, "Factory Upload will take about " + std::to_string(FactorySeconds()) + " seconds");
    rig.E().GoOn();
    const long ticks = rig.RunUntilIdle();
    ASSERT_GT(ticks, 0);
    ASSERT_TRUE(rig.view.HistoryHas("FlashCode Upload complete"));
    EXPECT_NEAR(ticks * 0.05, FactorySeconds(), 1.0) << "the job took " << ticks * 0.05 << " s";
}
