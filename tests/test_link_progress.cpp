// The estimate, elapsed-time and block-dump texts the operator and the capture file see.
#include "engine/Progress.h"

#include <clocale>
#include <cmath>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace {

// Puts the process locale back however a test leaves it.
class LocaleGuard {
public:
    LocaleGuard() : saved_(std::setlocale(LC_ALL, nullptr)) {}
    ~LocaleGuard() { std::setlocale(LC_ALL, saved_.c_str()); }

private:
    std::string saved_;
};

double Clock(int h, int m, double s) { return (h * 3600.0 + m * 60.0 + s) / 86400.0; }

struct EstimateCase {
    int blocks;
    int baud;
    const char* text;
};

}  // namespace

TEST(LinkProgress, EstimateExamplesOfTheOperatorScreen) {
    LocaleGuard guard;
    std::setlocale(LC_ALL, "C");
    const EstimateCase cases[] = {
        {0, 38400, " less than 1 minute"},
        {700, 38400, " less than 1 minute"},      // Q 3, M 0.75
        {1000, 38400, " about 1 minute"},         // Q 5, M 1.25
        {2345, 38400, " about 2.8 minutes"},      // Q 11, M 2.75
        {4000, 38400, " about 4.5 minutes"},      // Q 18
        {32768, 38400, " about 37 minutes"},      // Q 148
        {32768, 57600, " about 34 minutes"},      // Q 135, M 33.75
    };
    for (const auto& c : cases) EXPECT_EQ(EstimateText(c.blocks, c.baud), c.text) << c.blocks << " @ " << c.baud;
}

TEST(LinkProgress, EstimateThresholdsAndDigits) {
    LocaleGuard guard;
    std::setlocale(LC_ALL, "C");
    const EstimateCase cases[] = {
        {-5, 57600, " less than 1 minute"},
        {730, 57600, " less than 1 minute"},      // M 0.75, just below 0.8
        {974, 57600, " about 1 minute"},          // M 1.0
        {1217, 57600, " about 1 minute"},         // M 1.25
        {1400, 57600, " about 1.5 minutes"},      // M 1.5 is no longer "about 1"
        {1948, 57600, " about 2 minutes"},        // no trailing ".0"
        {2191, 57600, " about 2.3 minutes"},      // 2.25: half rounded up
        {9497, 57600, " about 9.8 minutes"},      // 9.75
        {10227, 57600, " about 11 minutes"},      // 10.5: half rounded up to two digits
    };
    for (const auto& c : cases) EXPECT_EQ(EstimateText(c.blocks, c.baud), c.text) << c.blocks << " @ " << c.baud;
}

TEST(LinkProgress, EstimateFollowsTheFactorOfEachBaudRate) {
    LocaleGuard guard;
    std::setlocale(LC_ALL, "C");
    const EstimateCase cases[] = {
        {1000, 1200, " about 10 minutes"},        // F 10: Q 41, M 10.25
        {1000, 2400, " about 5.3 minutes"},       // F 5: Q 21
        {1000, 4800, " about 3 minutes"},         // F 3: Q 12
        {4000, 9600, " about 8.3 minutes"},       // F 2: Q 33
        {1000, 19200, " about 1.5 minutes"},      // F 1.5: Q 6
        {4000, 115200, " about 12 minutes"},      // unlisted: F 3, Q 49
        {4000, 14400, " about 12 minutes"},
    };
    for (const auto& c : cases) EXPECT_EQ(EstimateText(c.blocks, c.baud), c.text) << c.blocks << " @ " << c.baud;
}

TEST(LinkProgress, EstimateOfAHundredMinutesOrMoreIsWholeMinutesToTwoDigits) {
    LocaleGuard guard;
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(EstimateText(20000, 1200), " about 210 minutes");     // M 205.25
    EXPECT_EQ(EstimateText(9716, 1200), " about 100 minutes");      // M 99.75 rounds up past 99
    EXPECT_EQ(EstimateText(11688, 1200), " about 120 minutes");     // M 120 exactly
    EXPECT_EQ(EstimateText(1000000, 1200), " about 10000 minutes");  // M 10267
}

TEST(LinkProgress, EstimateUsesTheLocaleDecimalSeparator) {
    LocaleGuard guard;
    const char* candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8"};
    bool found = false;
    for (const char* name : candidates) {
        if (std::setlocale(LC_ALL, name) && std::string(std::localeconv()->decimal_point) == ",") {
            found = true;
            break;
        }
    }
    if (!found)
        GTEST_SKIP() << "no locale with a ',' decimal separator is installed "
                        "(install package 'locales' and generate de_DE.UTF-8 to run this)";
    EXPECT_EQ(EstimateText(2345, 38400), " about 2,8 minutes");
    EXPECT_EQ(EstimateText(4000, 38400), " about 4,5 minutes");
    EXPECT_EQ(EstimateText(32768, 38400), " about 37 minutes");
    // Taken at each call, not once: back in "C" the point returns.
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(EstimateText(2345, 38400), " about 2.8 minutes");
}

TEST(LinkProgress, ElapsedTimeDropsHoursAndFractions) {
    using std::chrono::milliseconds;
    const struct {
        long long ms;
        const char* text;
    } cases[] = {
        {(3600 + 3 * 60 + 25) * 1000LL, "03:25 minutes"}, {120000, "02:00 minutes"}, {3607000, "7 seconds"},
        {45000, "45 seconds"},  {59999, "59 seconds"},   {12 * 60000 + 3999, "12:03 minutes"},
        {400, "0 seconds"},     {0, "unavailable"},      {-5000, "unavailable"},
    };
    for (const auto& c : cases) EXPECT_EQ(ElapsedText(milliseconds(c.ms)), c.text) << c.ms;
}

TEST(LinkProgress, TimeOfDayNowIsTheLocalClock) {
    const double now = TimeOfDayNow();
    ASSERT_GE(now, 0.0);
    ASSERT_LT(now, 1.0);
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    const double expected = Clock(local.tm_hour, local.tm_min, local.tm_sec);
    double diff = std::fabs(now - expected) * 86400.0;
    if (diff > 43200.0) diff = 86400.0 - diff;  // the two readings straddled midnight
    EXPECT_LT(diff, 2.0);
}

TEST(LinkProgress, BlockDumpLines) {
    std::string block = "000080";
    block += std::string(64, '\xAB');
    block += std::string(63, '\x0F');
    block += '\xc4';
    block += '\x3C';
    ASSERT_EQ(block.size(), 135u);
    const auto lines = DumpBlockLines(block);
    EXPECT_EQ(lines[0].first, "[info  ]");
    EXPECT_EQ(lines[0].second, "  addr 000080  cksm 3C");
    EXPECT_EQ(lines[1].first, "[B0-128]");
    std::string firstHalf;
    for (int i = 0; i < 64; ++i) firstHalf += "AB";
    EXPECT_EQ(lines[1].second, firstHalf);
    EXPECT_EQ(lines[2].first, "[B128+ ]");
    std::string secondHalf;
    for (int i = 0; i < 63; ++i) secondHalf += "0F";
    EXPECT_EQ(lines[2].second, secondHalf + "C4");
}

TEST(LinkProgress, BlockDumpKeepsZeroBytesAndLowCodes) {
    std::string block = "1FFF80";
    block += std::string(128, '\0');
    block += '\x00';
    block[6] = '\x01';
    block[133] = '\xFF';
    const auto lines = DumpBlockLines(block);
    EXPECT_EQ(lines[0].second, "  addr 1FFF80  cksm 00");
    EXPECT_EQ(lines[1].second.substr(0, 4), "0100");
    EXPECT_EQ(lines[1].second.size(), 128u);
    EXPECT_EQ(lines[2].second.substr(124), "00FF");
}

TEST(LinkProgress, BlockDumpOfAShortBlockShowsOnlyWhatIsThere) {
    const auto lines = DumpBlockLines(std::string("0001") );
    EXPECT_EQ(lines[0].second, "  addr 0001  cksm ");
    EXPECT_EQ(lines[1].second, "");
    EXPECT_EQ(lines[2].second, "");
}
