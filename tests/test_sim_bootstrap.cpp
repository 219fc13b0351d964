// The simulated unit's C161 bootstrap loader at 19200 baud and the factory boot code it loads.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "firmware/BuiltinImages.h"
#include "tests/support/SimUnit.h"
#include "tests/support/TempDir.h"

namespace {

constexpr int kWait = 3000;


std::string Bytes(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

const std::string kLoader1 = Bytes("E6582200E6F1AB00E6F200F67EB79AB7FE70A402B2FE0821A0119DF8EA0000F6");
const std::string kLoader2 = Bytes(
    "E005E6890002E6861E04E60C0308E68A1F06E60DE108E68B1E06E60E"
    "0403E68C0806E60F0000E68D0000BB0AE6585500BB13BB309A88FC60"
    "9AB6FE70FA0800006E88E6F400017EB7CB009AB7FE70F3F0B2FE7EB7"
    "0070CB00E007E000BBF649002D0749012D1549022D1049042D0ECB00"
    "BBECF030BBEAF130BBE8F120BBE6DC05B9010811A0133DFACB00BBDF"
    "F050CB006F88CB00F6F70EFECC005B44CC00F3FC0CFEA1C0F7FCB0FE7EB6CB00");

// A bootstrap record as the program puts it on the line, with the answer the loader owes: the
// record's own checksum field, plus 2 for an address record (whose count and high base byte are
// not sent).
struct WireRecord {
    std::string bytes;
    unsigned char ack;
    bool end;
};

WireRecord ToWire(const std::string& line) {
    const std::string type = line.substr(7, 2);
    const unsigned char check = static_cast<unsigned char>(std::stoi(line.substr(line.size() - 2), nullptr, 16));
    if (type == "00") return {Bytes("00" + line.substr(1, 6) + line.substr(9, line.size() - 11)), check, false};
    if (type == "04") return {Bytes("04" + line.substr(11, 2)), static_cast<unsigned char>(check + 2), false};
    return {Bytes("01"), check, true};
}

// The built-in bootstrap image when it is there; otherwise records from its documented start.
std::vector<std::string> BootLines() {
    if (!MemoBootLines().empty()) return MemoBootLines();
    return {":020000040000FA", ":0C0000002281200000E0004000FD000014", ":020000040008F2",
            ":1000000000000000000000000000000000000000F0", ":00000001FF"};
}

std::string One(unsigned char c) { return std::string(1, static_cast<char>(c)); }

std::string MakeBlock(const std::string& address, char fill) {
    std::string block = address + std::string(128, fill);
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    block.push_back(static_cast<char>(sum & 0xFF));
    return block;
}

// Zero byte, identification, both loaders: leaves the loader waiting for records.
void StartLoader(SimPort& port, unsigned char ident = 0xD5) {
    port.Write(One(0x00));
    ASSERT_EQ(port.Read(1, kWait), One(ident));
    port.Write(kLoader1);
    ASSERT_EQ(port.Read(1, kWait), "\x22");
    port.Write(kLoader2);
    ASSERT_EQ(port.Read(1, kWait), "U");
}

class SimBootstrap : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(SimBootstrap, FactoryJobFromZeroByteToFlashCode) {
    SimUnit unit(dir.Path(), 1, {"--restart-ms", "0"});
    SimPort port(unit.LinkPath(), 38400);
    port.Write(One(0x00));
    EXPECT_EQ(port.ReadFor(200), "") << "no bootstrap loader at 38400";
    port.SetSpeed(19200);  // power-on with the jumpers fitted
    StartLoader(port);

    const std::vector<std::string> lines = BootLines();
    int records = 0, bytes = 0;
    for (const std::string& line : lines) {
        const WireRecord r = ToWire(line);
        port.Write(r.bytes);
        ++records;
        bytes += static_cast<int>(r.bytes.size());
        if (r.end) break;  // its answer is not awaited
        ASSERT_EQ(port.Read(1, kWait), One(r.ack)) << line;
    }
    auto rep = unit.Report();
    EXPECT_EQ(rep["bootstrap_records"], std::to_string(records));
    EXPECT_EQ(rep["bootstrap_bytes"], std::to_string(bytes));
    EXPECT_EQ(rep["state"], "off");
    EXPECT_EQ(rep["factory"], "1");
    if (lines.size() == 161) {
        EXPECT_EQ(bytes, 3149);
        EXPECT_EQ(rep["bootstrap_data"], "2512");
    }

    // The loaded boot code listens at 38400 only, with a 64 KiB flash.
    port.SetSpeed(57600);
    port.Write("UUU");
    EXPECT_EQ(port.ReadFor(200), "");
    port.SetSpeed(38400);
    port.Write("UUU");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "READY\r\n");
    port.Write("GO\r");
    ASSERT_NE(port.ReadUntil("ERASE COMPLETE\r\nSEND BLOCK\r\n", kWait), "");
    port.Write(MakeBlock("00FF80", '\0'));
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "SEND BLOCK\r\n");
    port.Write(MakeBlock("010000", '\0'));
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "RESEND BLOCK\r\n") << "beyond 64 KiB";
    port.Write("UPLOAD DONE\r");
    EXPECT_EQ(port.ReadUntil("\r\n", kWait), "THANK YOU\r\n");

    // No restart into the application after the factory job.
    port.SetSpeed(9600);
    port.Write("<0000/SWR?\r");
    EXPECT_EQ(port.ReadFor(300), "");

    rep = unit.Report();
    EXPECT_EQ(rep["state"], "done");
    EXPECT_EQ(rep["flash_size"], "65536");
    // 511 erased chunks of 0xFF and one of zeros.
    EXPECT_EQ(rep["flash_checksum"], "8080");
    EXPECT_EQ(unit.Flash().size(), 65536u);
    EXPECT_EQ(rep["speeds"], "38400,19200,57600,9600");
}

TEST_F(SimBootstrap, WrongLoadersAreRefusedAndRepeatedZerosReidentify) {
    SimUnit unit(dir.Path(), 1, {"--ident", "0xB5"});
    SimPort port(unit.LinkPath(), 19200);
    port.Write(One(0x00));
    EXPECT_EQ(port.Read(1, kWait), "\xB5");
    port.Write(One(0x00));  // the program repeats the zero byte while it waits
    EXPECT_EQ(port.Read(1, kWait), "\xB5");

    std::string bad = kLoader1;
    bad[10] = static_cast<char>(bad[10] ^ 0x01);
    port.Write(bad);
    EXPECT_EQ(port.Read(1, kWait), One(0x00)) << "a changed Loader 1 gets no 0x22";
    port.Write(kLoader1);
    EXPECT_EQ(port.Read(1, kWait), "\x22");
    std::string bad2 = kLoader2;
    bad2[100] = static_cast<char>(bad2[100] ^ 0x40);
    port.Write(bad2);
    EXPECT_EQ(port.Read(1, kWait), One(0x00));
    port.Write(kLoader2);
    EXPECT_EQ(port.Read(1, kWait), "U");

    // Bytes at another speed never reach the loader.
    port.SetSpeed(38400);
    port.Write(Bytes("0402"));
    EXPECT_EQ(port.ReadFor(200), "");
    port.SetSpeed(19200);
    port.Write(Bytes("0402"));
    EXPECT_EQ(port.Read(1, kWait), One(0xFA));

    auto rep = unit.Report();
    EXPECT_EQ(rep["state"], "bootstrap");
    EXPECT_EQ(rep["bootstrap_stage"], "records");
    EXPECT_EQ(rep["bootstrap_records"], "1");
    EXPECT_EQ(rep["errors"], "2");
}

TEST_F(SimBootstrap, FaultSwitchesOfTheLoader) {
    const std::vector<std::string> lines = BootLines();
    const WireRecord first = ToWire(lines[0]), second = ToWire(lines[1]), third = ToWire(lines[2]);
    {
        SimUnit unit(dir.Path(), 1, {"--bad-ack-record", "2", "--bad-ack-times", "2", "--record-silent", "3"});
        SimPort port(unit.LinkPath(), 19200);
        StartLoader(port);
        port.Write(first.bytes);
        EXPECT_EQ(port.Read(1, kWait), One(first.ack));
        for (int i = 0; i < 2; ++i) {
            port.Write(second.bytes);
            const std::string got = port.Read(1, kWait);
            ASSERT_EQ(got.size(), 1u);
            EXPECT_NE(got, One(second.ack)) << "wrong answer " << i + 1;
        }
        port.Write(second.bytes);
        EXPECT_EQ(port.Read(1, kWait), One(second.ack));
        port.Write(third.bytes);
        EXPECT_EQ(port.ReadFor(300), "") << "record 3 is never answered";
        EXPECT_EQ(unit.Report()["bootstrap_records"], "2");
    }
    {
        SimUnit unit(dir.Path(), 1, {"--no-ident"});
        SimPort port(unit.LinkPath(), 19200);
        port.Write(One(0x00));
        EXPECT_EQ(port.ReadFor(300), "");
    }
    {
        SimUnit unit(dir.Path(), 1, {"--loader1-bad", "--block-gap-ms", "100"});
        SimPort port(unit.LinkPath(), 19200);
        port.Write(One(0x00));
        EXPECT_EQ(port.Read(1, kWait), One(0xD5));
        port.Write(kLoader1);
        EXPECT_EQ(port.Read(1, kWait), One(0x00));
    }
    {
        SimUnit unit(dir.Path(), 1, {"--loader2-silent"});
        SimPort port(unit.LinkPath(), 19200);
        port.Write(One(0x00));
        EXPECT_EQ(port.Read(1, kWait), One(0xD5));
        port.Write(kLoader1);
        EXPECT_EQ(port.Read(1, kWait), "\x22");
        port.Write(kLoader2);
        EXPECT_EQ(port.ReadFor(300), "");
    }
}

TEST_F(SimBootstrap, NineteenTwoHundredAfterAnUploadMeansJumpersFitted) {
    SimUnit unit(dir.Path(), 1, {"--restart-ms", "0"});
    SimPort port(unit.LinkPath(), 38400);
    port.Write("UUU");
    ASSERT_EQ(port.ReadUntil("\r\n", kWait), "READY\r\n");
    port.SetSpeed(19200);
    port.Write(One(0x00));
    EXPECT_EQ(port.Read(1, kWait), One(0xD5));
    EXPECT_EQ(unit.Report()["state"], "bootstrap");
}

}  // namespace
