// The simulated unit's boot code and application, driven through its COM link the way the upload
// program drives a real MXR-2.
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "firmware/BinaryImage.h"
#include "sim/Options.h"
#include "firmware/UploadFile.h"
#include "tests/support/SimUnit.h"
#include "tests/support/TempDir.h"

namespace {

constexpr int kWait = 3000;  // ms for any answer the unit owes


// A block as the upload block file holds it: address text, 128 data bytes, 8-bit sum.
std::string MakeBlock(const std::string& address, const std::string& data) {
    std::string block = address + data;
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    block.push_back(static_cast<char>(sum & 0xFF));
    return block;
}

std::string Pattern(int seed) {
    std::string data;
    for (int i = 0; i < 128; ++i) data.push_back(static_cast<char>((i * 7 + seed * 31) & 0xFF));
    return data;
}

std::string Hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
    return buf;
}

// Wakes the boot code and starts the erase; leaves the unit asking for the first block.
void WakeAndErase(SimPort& port) {
    port.Write("UUU");
    ASSERT_NE(port.ReadUntil("READY\r\n", kWait), "");
    port.Write("GO\r");
    ASSERT_NE(port.ReadUntil("ERASING...\r\n", kWait), "");
    ASSERT_NE(port.ReadUntil("ERASE COMPLETE\r\n", kWait), "");
    ASSERT_NE(port.ReadUntil("SEND BLOCK\r\n", kWait), "");
}

// Sends one block and returns the unit's line that answers it.
std::string SendBlock(SimPort& port, const std::string& block) {
    port.Write(block);
    return port.ReadUntil("\r\n", kWait);
}

std::string AskAtAppSpeed(SimPort& port, const std::string& query, const std::string& key) {
    // The application needs its restart time; the program, too, queries until it gets an answer.
    for (int i = 0; i < 50; ++i) {
        port.Write("<0000/" + query + "\r");
        std::string got = port.ReadUntil("\r\n", 100);
        if (got.find(key) != std::string::npos) return got;
    }
    return {};
}

class SimUpload : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(SimUpload, WakesOnlyOnUsAtABootSpeedAndLinksItsPort) {
    SimUnit unit(dir.Path(), 3);
    EXPECT_EQ(unit.LinkPath(), dir.Path() + "/COM3");
    ASSERT_TRUE(std::filesystem::is_symlink(unit.LinkPath()));

    SimPort port(unit.LinkPath(), 9600);
    port.Write("UUUUUU");
    EXPECT_EQ(port.ReadFor(300), "") << "the boot code cannot hear 9600 baud";
    port.SetSpeed(38400);
    port.Write("UU");
    EXPECT_EQ(port.ReadFor(200), "") << "two U's are not yet a wake-up";
    port.Write("U");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "READY\r\n");
    port.Write("UUUU");  // in flight when READY went out
    EXPECT_EQ(port.ReadFor(200), "");

    auto r = unit.Report();
    EXPECT_EQ(r["state"], "ready");
    EXPECT_EQ(r["wakeups"], "3");
    EXPECT_EQ(r["speeds"], "9600,38400");
    EXPECT_EQ(r["errors"], "0");

    unit.Stop();
    EXPECT_EQ(unit.ExitCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/COM3")) << "the link goes with the unit";
}

size_t OpenDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST_F(SimUpload, LeavesNoDescriptorsOrChildrenBehind) {
    const size_t before = OpenDescriptors();
    int pid = 0;
    {
        SimUnit unit(dir.Path(), 1);
        pid = unit.Pid();
        SimPort port(unit.LinkPath(), 38400);
        unit.Report();
    }
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_NE(::kill(pid, 0), 0) << "the unit is reaped, not a zombie";
}

TEST_F(SimUpload, ReplacesAStaleLinkButNeverAPlainFile) {
    std::filesystem::create_symlink("/nonexistent/tty", dir.Path() + "/COM1");
    {
        SimUnit unit(dir.Path(), 1);
        EXPECT_NE(std::filesystem::read_symlink(unit.LinkPath()), "/nonexistent/tty");
        SimPort port(unit.LinkPath(), 38400);  // the link leads to a working terminal
    }
    std::ofstream(dir.Path() + "/COM2") << "not a port";
    EXPECT_THROW(SimUnit(dir.Path(), 2), std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.Path() + "/COM2"));
}

TEST_F(SimUpload, FullUploadThenChecksumQueriesAtNineHundredBaud) {
    SimUnit unit(dir.Path(), 1, {"--restart-ms", "200"});
    SimPort port(unit.LinkPath(), 57600);  // the other boot speed
    WakeAndErase(port);

    // The image the unit should end up with, kept independently of the unit.
    std::vector<unsigned char> image(4u << 20, 0xFF);
    const std::vector<std::pair<std::string, int>> blocks = {{"000000", 1}, {"000100", 2}, {"3FFF80", 3}};
    for (const auto& [address, seed] : blocks) {
        const std::string data = Pattern(seed);
        std::copy(data.begin(), data.end(), image.begin() + std::stoul(address, nullptr, 16));
        EXPECT_EQ(SendBlock(port, MakeBlock(address, data)), "SEND BLOCK\r\n") << address;
    }
    port.Write("UPLOAD DONE\r");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "THANK YOU\r\n");

    unsigned sum = 0;
    for (unsigned char b : image) sum += b;
    const std::string expected = Hex4(sum);

    auto r = unit.Report();
    EXPECT_EQ(r["uploads"], "1");
    EXPECT_EQ(r["blocks"], "3");
    EXPECT_EQ(r["flash_checksum"], expected);
    EXPECT_EQ(r["flash_size"], std::to_string(image.size()));
    EXPECT_EQ(unit.Flash(), std::string(image.begin(), image.end()));

    // At the boot speed the restarted application hears nothing.
    port.Write("<0000/SWR?\r");
    EXPECT_EQ(port.ReadFor(400), "");

    port.SetSpeed(9600);
    EXPECT_EQ(AskAtAppSpeed(port, "SWR?", "SWR="), ">0000/SWR=1.01\r\n");
    EXPECT_EQ(AskAtAppSpeed(port, "FCS?", "FCS="), ">0000/FCS=Boot:1A2B Main:" + expected + "\r\n");
    port.Write("<0001/FCS?\r");  // another unit's address
    EXPECT_EQ(port.ReadFor(200), "");

    r = unit.Report();
    EXPECT_EQ(r["state"], "app");
    EXPECT_EQ(r["speeds"], "57600,9600") << "the line's speed before the program set one is not counted";
    EXPECT_EQ(r["fcs_queries"], "1");
    EXPECT_EQ(r["errors"], "0");

    // The restarted application does not hear the boot code's wake-up: only a unit switched off
    // and on answers it again (a station's next unit is never the one just loaded).
    port.SetSpeed(38400);
    port.Write("UUU");
    EXPECT_EQ(port.ReadFor(400), "");
    EXPECT_EQ(unit.Report()["state"], "app");
    unit.PowerCycle();
    port.Write("UUU");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "READY\r\n");
    r = unit.Report();
    EXPECT_EQ(r["wakeups"], "3");
    EXPECT_EQ(r["speeds"], "57600,9600,38400");
}

TEST_F(SimUpload, PowerCycleAfterSwitchesTheLoadedUnitOffAndOnByItself) {
    SimUnit unit(dir.Path(), 1, {"--restart-ms", "0", "--power-cycle-after", "100", "--verify-wait", "0"});
    SimPort port(unit.LinkPath(), 38400);
    WakeAndErase(port);
    EXPECT_EQ(SendBlock(port, MakeBlock("000000", Pattern(1))), "SEND BLOCK\r\n");
    port.Write("UPLOAD DONE\r");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "THANK YOU\r\n");
    // Wake-ups go unheard while the application runs, then the fresh boot code answers.
    std::string heard;
    for (int i = 0; i < kWait / 20 && heard.find("READY\r\n") == std::string::npos; ++i) {
        port.Write("U");
        heard += port.ReadFor(20);
    }
    EXPECT_EQ(heard, "READY\r\n");
    EXPECT_EQ(unit.Report()["uploads"], "1");
}

TEST_F(SimUpload, PowerCycleAfterCountsFromTheLastAnswerOfTheVerification) {
    SimUnit unit(dir.Path(), 1, {"--restart-ms", "0", "--power-cycle-after", "100"});
    SimPort port(unit.LinkPath(), 38400);
    WakeAndErase(port);
    EXPECT_EQ(SendBlock(port, MakeBlock("000000", Pattern(1))), "SEND BLOCK\r\n");
    port.Write("UPLOAD DONE\r");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "THANK YOU\r\n");
    // Asked well after its power-cycle-after, as a program's verification asks: still the same unit.
    port.SetSpeed(9600);
    EXPECT_EQ(port.ReadFor(400), "");
    EXPECT_EQ(AskAtAppSpeed(port, "SWR?", "SWR="), ">0000/SWR=1.01\r\n");
    EXPECT_EQ(AskAtAppSpeed(port, "FCS?", "FCS=").rfind(">0000/FCS=Boot:1A2B Main:", 0), 0u);
    // Then it is taken out: the fresh boot code answers the next wake-up.
    port.SetSpeed(38400);
    std::string heard;
    for (int i = 0; i < kWait / 20 && heard.find("READY\r\n") == std::string::npos; ++i) {
        port.Write("U");
        heard += port.ReadFor(20);
    }
    EXPECT_EQ(heard, "READY\r\n");
}

TEST_F(SimUpload, MainChecksumMatchesTheUploadFileTrailer) {
    // The real preparation: a sparse image through BuildUploadFile, sent block by block on request.
    TBinaryImage image;
    image.EmptyBinaryFile(dir.Path() + "/fw.BIN", 32768);
    std::string a = Pattern(5), b(1, '\x00');
    image.Write(0x1000, reinterpret_cast<const uint8_t*>(a.data()), a.size());
    image.Write(0x2345FF, reinterpret_cast<const uint8_t*>(b.data()), b.size());
    const TBuildResult built = BuildUploadFile(image, dir.Path() + "/fw.ZUP");
    ASSERT_EQ(built.BlockCount, 2);

    SimUnit unit(dir.Path(), 1, {"--restart-ms", "0"});
    SimPort port(unit.LinkPath(), 38400);
    WakeAndErase(port);
    TZupFile zup;
    zup.Open(dir.Path() + "/fw.ZUP");
    std::string block;
    while (zup.ReadBlock(block)) EXPECT_EQ(SendBlock(port, block), "SEND BLOCK\r\n");
    const std::string trailer = zup.ReadFileChecksum();
    port.Write("UPLOAD DONE\r");
    ASSERT_EQ(port.ReadUntil("\r\n", kWait), "THANK YOU\r\n");
    port.SetSpeed(9600);
    EXPECT_EQ(AskAtAppSpeed(port, "FCS?", "FCS="), ">0000/FCS=Boot:1A2B Main:" + trailer + "\r\n");
    EXPECT_EQ(unit.Flash(), std::string(image.Bytes().begin(), image.Bytes().end()));
}

TEST_F(SimUpload, BadBlocksAreAskedForAgain) {
    SimUnit unit(dir.Path(), 1, {"--block-gap-ms", "100"});
    SimPort port(unit.LinkPath(), 38400);
    WakeAndErase(port);

    std::string wrongSum = MakeBlock("000080", Pattern(1));
    wrongSum.back() = static_cast<char>(wrongSum.back() + 1);
    EXPECT_EQ(SendBlock(port, wrongSum), "RESEND BLOCK\r\n");
    EXPECT_EQ(SendBlock(port, MakeBlock("00008a", Pattern(1))), "RESEND BLOCK\r\n") << "lower case";
    EXPECT_EQ(SendBlock(port, MakeBlock("00G080", Pattern(1))), "RESEND BLOCK\r\n");
    EXPECT_EQ(SendBlock(port, MakeBlock("400000", Pattern(1))), "RESEND BLOCK\r\n") << "past 4 MiB";
    EXPECT_EQ(SendBlock(port, MakeBlock("000080", Pattern(1))), "SEND BLOCK\r\n");

    // A block cut short is dropped after the gap, so the next whole block lines up again.
    port.Write(MakeBlock("000100", Pattern(2)).substr(0, 50));
    EXPECT_EQ(port.ReadFor(300), "");
    EXPECT_EQ(SendBlock(port, MakeBlock("000100", Pattern(2))), "SEND BLOCK\r\n");
    // A block sent twice is written again and counted as a duplicate.
    EXPECT_EQ(SendBlock(port, MakeBlock("000100", Pattern(2))), "SEND BLOCK\r\n");

    auto r = unit.Report();
    EXPECT_EQ(r["state"], "transfer");
    EXPECT_EQ(r["blocks"], "2");
    EXPECT_EQ(r["resends"], "4");
    EXPECT_EQ(r["duplicates"], "1");
    EXPECT_EQ(r["errors"], "5");  // four bad blocks and the partial one
}

TEST_F(SimUpload, FaultSwitchesOfTheBlockDialogue) {
    SimUnit unit(dir.Path(), 1,
                 {"--resend-at", "1", "--base-index-at", "2", "--fail-at", "3", "--invalid-start",
                  "--erase-error"});
    SimPort port(unit.LinkPath(), 38400);
    port.Write("UUU");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "READY\r\n");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "INVALID START\r\n");
    port.Write("GO\r");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "ERASING...\r\n");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "ERASE ERROR: 0003\r\n");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "BLOCK 0003 BAD\r\n");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "ERASE COMPLETE\r\n");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "SEND BLOCK\r\n");

    const std::string b1 = MakeBlock("000000", Pattern(1)), b2 = MakeBlock("000080", Pattern(2));
    EXPECT_EQ(SendBlock(port, b1), "RESEND BLOCK\r\n") << "first arrival of block 1, though good";
    EXPECT_EQ(SendBlock(port, b1), "SEND BLOCK\r\n");
    EXPECT_EQ(SendBlock(port, b2), "BLOCK BASE INDEX: 0001\r\n");
    EXPECT_EQ(SendBlock(port, b2), "SEND BLOCK\r\n") << "the resent block counts normally";
    EXPECT_EQ(SendBlock(port, MakeBlock("000100", Pattern(3))), "UPLOAD FAILED\r\n");

    auto r = unit.Report();
    EXPECT_EQ(r["state"], "failed");
    EXPECT_EQ(r["blocks"], "2");
    EXPECT_EQ(r["resends"], "1");
    EXPECT_EQ(r["duplicates"], "1");

    // The operator cycles the power and repeats: the erase error was the first erase's only.
    port.Write("UUU");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "READY\r\n");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "INVALID START\r\n");
    port.Write("GO\r");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "ERASING...\r\n");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "ERASE COMPLETE\r\n");
}

TEST_F(SimUpload, SilentUnitsAndWrongChecksums) {
    SimUnit unit(dir.Path(), 1,
                 {"--silent-after", "1", "--no-thank-you", "--wrong-checksum", "--no-swr", "--restart-ms",
                  "0", "--erase-ms", "150"});
    SimPort port(unit.LinkPath(), 38400);
    port.Write("UUU");
    ASSERT_NE(port.ReadUntil("READY\r\n", kWait), "");
    port.Write("GO\r");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "ERASING...\r\n");
    EXPECT_EQ(unit.Report()["state"], "erasing");
    ASSERT_NE(port.ReadUntil("SEND BLOCK\r\n", kWait), "");

    const std::string block = MakeBlock("000000", std::string(128, '\0'));
    port.Write(block);
    EXPECT_EQ(port.ReadFor(300), "") << "first arrival of block 1 goes unanswered";
    EXPECT_EQ(SendBlock(port, block), "SEND BLOCK\r\n");
    port.Write("UPLOAD DONE\r");
    EXPECT_EQ(port.ReadFor(300), "");
    EXPECT_EQ(unit.Report()["uploads"], "1");

    port.SetSpeed(9600);
    port.Write("<0000/SWR?\r");
    EXPECT_EQ(port.ReadFor(300), "");
    const std::string fcs = AskAtAppSpeed(port, "FCS?", "FCS=");
    // All of 4 MiB is 0xFF except 128 zero bytes: 32767 * 128 * 255 is 0x8080 modulo 65536,
    // and the unit says one more.
    EXPECT_EQ(fcs, ">0000/FCS=Boot:1A2B Main:8081\r\n");
    auto r = unit.Report();
    EXPECT_EQ(r["flash_checksum"], "8080");
    EXPECT_EQ(r["swr_queries"], "1");
}

TEST_F(SimUpload, NoiseStaysBetweenLinesAndHasNoLetters) {
    SimUnit unit(dir.Path(), 1, {"--noise", "--seed", "7"});
    SimPort port(unit.LinkPath(), 38400);
    port.Write("UUU");
    std::string got = port.ReadUntil("READY\r\n", kWait);
    ASSERT_NE(got, "");
    const std::string noise = got.substr(0, got.size() - 7);
    EXPECT_FALSE(noise.empty());
    for (char c : noise) {
        EXPECT_FALSE(std::isalpha(static_cast<unsigned char>(c))) << int(c);
        EXPECT_NE(c, '\r');
        EXPECT_NE(c, '\n');
    }
    EXPECT_EQ(unit.Report()["seed"], "7");
}

// A line that picks up noise while the unit is off: bytes arrive although nothing was sent, never
// anything the program could take for a line, and they stop once the unit has woken.
TEST_F(SimUpload, IdleNoiseComesWhileTheUnitIsOff) {
    SimUnit unit(dir.Path(), 1, {"--idle-noise", "2", "--seed", "3"});
    SimPort port(unit.LinkPath(), 38400);
    const std::string noise = port.Read(64, kWait);
    ASSERT_EQ(noise.size(), 64u);
    for (char c : noise) {
        EXPECT_FALSE(std::isalpha(static_cast<unsigned char>(c))) << int(c);
        EXPECT_TRUE(c != '\r' && c != '\n') << int(c);
    }
    port.Write("UUU");
    ASSERT_NE(port.ReadUntil("READY\r\n", kWait), "");
    port.Write("GO\r");
    EXPECT_EQ(port.ReadUntil("SEND BLOCK\r\n", kWait), "ERASING...\r\nERASE COMPLETE\r\nSEND BLOCK\r\n");
}

TEST_F(SimUpload, PacedOutputTakesTheLinesTime) {
    SimUnit unit(dir.Path(), 1, {"--pace", "--slow", "100"});
    SimPort port(unit.LinkPath(), 38400);
    port.Write("UUU");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(port.ReadUntil("\r\n", kWait), "READY\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(SimUpload, VanishingUnitTakesItsPortAlong) {
    SimUnit unit(dir.Path(), 1, {"--vanish-after", "2"});
    SimPort port(unit.LinkPath(), 38400);
    WakeAndErase(port);
    EXPECT_EQ(SendBlock(port, MakeBlock("000000", Pattern(1))), "SEND BLOCK\r\n");
    port.Write(MakeBlock("000080", Pattern(2)));
    ASSERT_TRUE(unit.WaitForExit(kWait));
    EXPECT_EQ(unit.ExitCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/COM1"));
    auto r = unit.Report();
    EXPECT_EQ(r["state"], "vanished");
    EXPECT_EQ(r["blocks"], "2");
}

TEST_F(SimUpload, PowerCycleOnRequestAndBadOptions) {
    SimUnit unit(dir.Path(), 1);
    SimPort port(unit.LinkPath(), 38400);
    WakeAndErase(port);
    unit.PowerCycle();
    EXPECT_EQ(unit.Report()["state"], "off");
    port.Write("UUU");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "READY\r\n");

    EXPECT_THROW(SimUnit(dir.Path(), 4, {"--fail-at", "zero"}), std::runtime_error);
    EXPECT_THROW(SimUnit(dir.Path(), 4, {"--no-such-switch"}), std::runtime_error);
}

}  // namespace

// The simulated unit's --help (and its manual page) are made from one table: every switch it lists is
// one the unit takes.
TEST(SimOptions, EverySwitchTheHelpListsIsOneTheUnitTakes) {
    for (const TSwitchHelp& help : SwitchHelp()) {
        std::istringstream words(help.Switch);
        std::vector<std::string> args{"zupsim"};
        for (std::string word; words >> word;) args.push_back(args.size() == 1 ? word : "1");
        if (args[1] == "-h,") continue;
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        SimOptions options;
        std::string error;
        EXPECT_TRUE(ParseOptions(static_cast<int>(argv.size()), argv.data(), options, error)) << help.Switch << ": " << error;
    }
}
