// The port listing: what COM n opens, who holds it, without ever opening or blocking on what it
// finds; and the link command it offers is one a shell runs as meant.
#include "host/Ports.h"
#include "base/ShownText.h"
#include "tests/support/Pty.h"
#include "tests/support/Processes.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string Real(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// The pid of a process that has ended and been reaped.
pid_t DeadPid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

enum class Given { PtyLink, PtyFlocked, PtyLockFileLive, PtyLockFileDead, PtyLockFileFifo, Dangling, Fifo, ForeignLink, Nothing };
enum class Held { No, ThisProgram, Parent };

}  // namespace

TEST(PortListing, EachComPortShowsWhatItOpensAndWhoHoldsIt) {
    struct Row {
        const char* what;
        Given given;
        int port;
        bool linked, exists;
        Held held;
        const char* problem;  // part of the reason, "" for none
    } rows[] = {
        {"a pseudo-terminal linked as COM3", Given::PtyLink, 3, true, true, Held::No, ""},
        {"flocked by this program", Given::PtyFlocked, 3, true, true, Held::ThisProgram, ""},
        {"lock file of a live process", Given::PtyLockFileLive, 3, true, true, Held::Parent, ""},
        {"stale lock file", Given::PtyLockFileDead, 3, true, true, Held::No, ""},
        {"a FIFO posing as the lock file", Given::PtyLockFileFifo, 3, true, true, Held::No, ""},
        {"a link to an unplugged adapter", Given::Dangling, 4, true, false, Held::No, "No such file"},
        {"a FIFO named COM5", Given::Fifo, 5, true, false, Held::No, "not a serial device"},
        {"another user's link", Given::ForeignLink, 2, true, false, Held::No, "belongs to user nobody (uid 65534)"},
        {"no entry: the fallback node", Given::Nothing, 6, false, false, Held::No, ""},
    };
    // Anything that opened or read the FIFOs would block here for good.
    ::alarm(60);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir folder, locks;
        TestPty pty;
        const std::string pts = Real(pty.SlavePath());
        std::string lockName = "LCK.." + pts.substr(5);  // /dev/pts/N -> LCK..pts_N
        std::replace(lockName.begin(), lockName.end(), '/', '_');
        const std::string lockFile = locks / lockName;
        int flocked = -1;
        switch (row.given) {
        case Given::PtyLink: pty.LinkAs(folder.Path(), 3); break;
        case Given::PtyFlocked:
            pty.LinkAs(folder.Path(), 3);
            flocked = ::open(pts.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_EQ(::flock(flocked, LOCK_EX | LOCK_NB), 0);
            break;
        case Given::PtyLockFileLive:
        case Given::PtyLockFileDead:
            pty.LinkAs(folder.Path(), 3);
            std::ofstream(lockFile) << "      " << (row.given == Given::PtyLockFileLive ? ::getppid() : DeadPid()) << "\n";
            fs::last_write_time(lockFile, fs::last_write_time(lockFile) - std::chrono::seconds(10));
            break;
        case Given::PtyLockFileFifo:
            pty.LinkAs(folder.Path(), 3);
            ASSERT_EQ(::mkfifo(lockFile.c_str(), 0644), 0);
            break;
        case Given::Dangling: ASSERT_EQ(::symlink("/dev/ttyUSB-unplugged", (folder / "COM4").c_str()), 0); break;
        case Given::Fifo: ASSERT_EQ(::mkfifo((folder / "COM5").c_str(), 0644), 0); break;
        case Given::ForeignLink:
            pty.LinkAs(folder.Path(), 2);
            ASSERT_EQ(::lchown((folder / "COM2").c_str(), 65534, 65534), 0);
            break;
        case Given::Nothing: break;
        }

        const TPortListing listing = ListPorts(folder.Path(), locks.Path());
        if (flocked >= 0) ::close(flocked);
        ASSERT_EQ(listing.Com.size(), 9u);
        const TComPort& com = listing.Com[row.port - 1];
        EXPECT_EQ(com.Number, row.port);
        EXPECT_EQ(com.Linked, row.linked);
        EXPECT_EQ(com.Device, row.linked ? folder / ("COM" + std::to_string(row.port))
                                         : "/dev/ttyS" + std::to_string(row.port - 1));
        if (row.given == Given::Nothing) continue;  // the machine decides whether /dev/ttyS5 exists
        EXPECT_EQ(com.Exists, row.exists);
        if (row.exists) { EXPECT_EQ(com.Target, pts); }
        if (row.given == Given::Dangling) { EXPECT_EQ(com.Target, "/dev/ttyUSB-unplugged"); }
        EXPECT_NE(com.Problem.find(row.problem), std::string::npos) << com.Problem;
        if (!*row.problem) { EXPECT_EQ(com.Problem, ""); }
        const long expectedHolder = row.held == Held::ThisProgram ? ::getpid()
                                    : row.held == Held::Parent    ? ::getppid()
                                                                  : 0;
        EXPECT_EQ(com.HeldBy, expectedHolder);
        if (row.held == Held::Parent) { EXPECT_EQ(com.HeldHow, lockFile); }

        // What the tooltip says starts with the port's own line.
        const std::string tip = PortTooltipText(listing, row.port);
        EXPECT_EQ(tip.rfind(ComPortLine(com), 0), 0u) << tip;
        if (row.given == Given::PtyLink) { EXPECT_EQ(ComPortLine(com), "COM3: " + folder / "COM3" + " -> " + pts); }
    }
    ::alarm(0);
}

TEST(PortListing, TheOfferedLinkCommandMakesTheLinkEvenInAnAwkwardFolder) {
    TempDir tmp;
    const std::string folder = tmp / "it's a $HOME folder";
    fs::create_directories(folder);
    TestPty pty;
    const std::string command = LinkCommand(pty.SlavePath(), folder, 7);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(fs::read_symlink(folder + "/COM7"), pty.SlavePath());
    // And the listing now finds it there.
    EXPECT_TRUE(ListPorts(folder, tmp.Path()).Com[6].Exists);
}

namespace {

class TFakePorts : public TPortSource {
public:
    std::vector<TPortInfo> Ports;
    int Lists = 0;
    std::vector<TPortInfo> List() override {
        ++Lists;
        return Ports;
    }
};

}  // namespace

// A station's records read the listing once per device, not once per unit; a pseudo-terminal,
// with nothing behind it in the device tree, is never looked for.
TEST(PortDetails, EachDeviceIsLookedUpInTheListingOnce) {
    auto fake = std::make_unique<TFakePorts>();
    TFakePorts& listing = *fake;
    listing.Ports = {{"/dev/zup-test-usb0", "/dev/serial/by-id/usb-FTDI_A1", "FTDI", "FT232R USB UART", "A1", 0x0403, 0x6001, "", -1, ""}};
    TCachedPortSource ports(std::move(fake));
    TestPty pty;
    for (int unit = 0; unit < 3; ++unit) {
        TPortInfo info;
        EXPECT_TRUE(ports.Find("/dev/zup-test-usb0", info));
        EXPECT_EQ(info.UsbSerial, "A1");
        EXPECT_FALSE(ports.Find("/dev/zup-test-usb9", info));
        EXPECT_FALSE(ports.Find(pty.SlavePath(), info));
    }
    EXPECT_EQ(listing.Lists, fs::exists("/sys/dev/char") ? 2 : 3);
}

TEST(PortListing, JsonHasTheFolderEveryComPortAndEachDeviceWithWhoHoldsIt) {
    TempDir folder, locks;
    TestPty free, held;
    free.LinkAs(folder.Path(), 3);
    held.LinkAs(folder.Path(), 4);
    fs::create_symlink("/dev/ttyGONE7", folder.Path() + "/COM5");
    THoldingProcess holder("minicom", [&] {
        const int fd = ::open((held.SlavePath()).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    });
    ASSERT_GT(holder.Pid, 0);
    TFakePorts attached;
    attached.Ports = {{free.SlavePath(), "/dev/serial/by-id/usb-FTDI_A1", "FTDI", "FT232R USB UART", "A1", 0x0403, 0x6001,
                       "ftdi_sio", 16, ""},
                      {held.SlavePath(), "", "", "", "", -1, -1, "", -1, ""}};

    TPortListing listing = ListPorts(folder.Path(), locks.Path(), attached);
    listing.ProgramFolderReason = "the executable's folder";
    const std::string json = PortListingJson(listing);
    std::map<std::string, std::vector<QJsonObject>> kinds;
    std::istringstream in(json);
    for (std::string line; std::getline(in, line);) {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        kinds[o["kind"].toString().toStdString()].push_back(o);
    }
    ASSERT_EQ(kinds["program_folder"].size(), 1u) << json;
    EXPECT_EQ(kinds["program_folder"][0]["path"].toString().toStdString(), folder.Path() + "/");
    EXPECT_EQ(kinds["program_folder"][0]["reason"].toString(), "the executable's folder");
    // The COM table as the text shows it: what each opens, where its link leads, its state.
    const std::vector<QJsonObject>& com = kinds["com"];
    ASSERT_EQ(com.size(), 9u) << json;
    EXPECT_EQ(com[2]["com"].toInt(), 3);
    EXPECT_EQ(com[2]["device"].toString().toStdString(), folder.Path() + "/COM3");
    EXPECT_TRUE(com[2]["linked"].toBool());
    EXPECT_EQ(com[2]["target"].toString().toStdString(), Real(free.SlavePath()));
    EXPECT_EQ(com[2]["state"].toString(), "free");
    EXPECT_EQ(com[3]["state"].toString(), "in use");
    EXPECT_EQ(com[3]["holder_pid"].toInteger(), holder.Pid);
    EXPECT_EQ(com[3]["holder_command"].toString(), "minicom");
    EXPECT_EQ(com[4]["target"].toString(), "/dev/ttyGONE7");
    EXPECT_EQ(com[4]["state"].toString(), "unusable");
    EXPECT_FALSE(com[4]["problem"].toString().isEmpty());
    EXPECT_FALSE(com[0]["linked"].toBool());
    EXPECT_EQ(com[0]["device"].toString(), "/dev/ttyS0");
    const std::vector<QJsonObject>& objects = kinds["device"];
    ASSERT_EQ(objects.size(), 2u) << json;
    const QJsonObject& a = objects[free.SlavePath() < held.SlavePath() ? 0 : 1];
    const QJsonObject& b = objects[free.SlavePath() < held.SlavePath() ? 1 : 0];

    EXPECT_EQ(a["path"].toString().toStdString(), free.SlavePath());
    EXPECT_EQ(a["by_id"].toString(), "/dev/serial/by-id/usb-FTDI_A1");
    EXPECT_EQ(a["com"].toInt(), 3);
    EXPECT_EQ(a["maker"].toString(), "FTDI");
    EXPECT_EQ(a["usb_serial"].toString(), "A1");
    EXPECT_EQ(a["vid"].toString(), "0403");
    EXPECT_EQ(a["pid"].toString(), "6001");
    EXPECT_TRUE(a["openable"].toBool());
    EXPECT_TRUE(a["holder"].isNull());
    EXPECT_EQ(a["driver"].toString(), "ftdi_sio");
    EXPECT_EQ(a["latency_timer_ms"].toInt(), 16);
    EXPECT_TRUE(b["latency_timer_ms"].isNull());
    EXPECT_NE(PortListingText(listing).find("    driver ftdi_sio, latency timer 16 ms (replies wait up to that long"),
              std::string::npos);

    EXPECT_EQ(b["path"].toString().toStdString(), held.SlavePath());
    EXPECT_EQ(b["com"].toInt(), 4);
    EXPECT_TRUE(b["vid"].isNull());
    EXPECT_FALSE(b["openable"].toBool());
    EXPECT_EQ(b["holder"].toString().toStdString(), "minicom (pid " + std::to_string(holder.Pid) + ")");
    EXPECT_EQ(b["remedy"].toString().toStdString(), "close minicom (pid " + std::to_string(holder.Pid) + "), then try again");
}

TEST(PortListing, ControlCharactersInNamesAreShownAsTheirCodes) {
    TempDir folder, locks;
    TestPty pty;
    fs::create_symlink("/dev/x\x1b]0;owned\x07\nCOM9: fake", folder.Path() + "/COM2");
    TFakePorts attached;
    attached.Ports = {{pty.SlavePath(), "/dev/serial/by-id/usb-\x1b[2J\r\x9b" "31m-M\xc3\xbcller", "Mak\x1b" "er", "P", "S\nN", 0x0403, 0x6001, "", -1, ""}};
    const std::string text = PortListingText(ListPorts(folder.Path(), locks.Path(), attached));
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    EXPECT_EQ(text.find("\x9b"), std::string::npos) << text;
    EXPECT_NE(text.find("COM2: " + folder.Path() + "/COM2 -> /dev/x<1B>]0;owned<07><0A>COM9: fake ("), std::string::npos) << text;
    EXPECT_NE(text.find("/dev/serial/by-id/usb-<1B>[2J<0D><9B>31m-M\xc3\xbcller\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Mak<1B>er P, serial S<0A>N"), std::string::npos) << text;
    // A usb: name that finds nothing echoes what it was given, and what is attached, the same way.
    std::string path, error;
    EXPECT_FALSE(ResolveUsbDevice("usb:A\x1b[1m", attached, path, error));
    EXPECT_NE(error.find("with serial number A<1B>[1m is attached; attached: "), std::string::npos) << error;
    EXPECT_NE(error.find("serial S<0A>N"), std::string::npos) << error;
}

TEST(ShownText, ControlsAndBytesThatAreNoTextAsCodesUtf8AsItIs) {
    const struct {
        std::string in, shown;
    } rows[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"a\nb\rc\td\x1b\x7f", "a<0A>b<0D>c<09>d<1B><7F>"},
        {"M\xc3\xbcller \xe2\x80\x94 \xf0\x9f\x94\x8c", "M\xc3\xbcller \xe2\x80\x94 \xf0\x9f\x94\x8c"},
        {"\xc2\x9b" "1m", "<C2><9B>1m"},                  // C1 CSI in UTF-8
        {"\xff\xfe.h86", "<FF><FE>.h86"},                 // no UTF-8 at all
        {"\xc3", "<C3>"},                                // cut short
        {"\xc0\xaf\xed\xa0\x80", "<C0><AF><ED><A0><80>"},  // overlong, surrogate
        {std::string("a\0b", 3), "a<00>b"},
    };
    for (const auto& row : rows) EXPECT_EQ(ShownText(row.in), row.shown) << row.shown;
}

TEST(PortListing, ARunningBrlttyIsMarkedWithItsRemedy) {
    TestPty pty;
    THoldingProcess brltty("brltty", [&] {
        const int fd = ::open((pty.SlavePath()).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    });
    ASSERT_GT(brltty.Pid, 0);
    TempDir folder;
    TFakePorts none;
    const TPortListing listing = ListPorts(folder.Path(), folder.Path(), none);
    EXPECT_NE(std::find(listing.Grabbers.begin(), listing.Grabbers.end(), "brltty"), listing.Grabbers.end());
    EXPECT_NE(PortListingText(listing).find("brltty is running. brltty (the braille display driver)"), std::string::npos);
}

// COM n is the program folder's entry when there is one (a dangling link included), else
// /dev/ttyS<n-1>; link-only names the entry whatever; no folder is the executable's folder.
TEST(ComNames, TheFoldersEntryElseTtyS) {
    TempDir dir;
    TestPty pty;
    pty.LinkAs(dir.Folder(), 4);
    fs::create_symlink("/dev/zup-no-such-device", dir.Folder() + "COM6");
    const std::string exe = fs::read_symlink("/proc/self/exe").string();
    const std::string exeFolder = exe.substr(0, exe.rfind('/') + 1);
    pty.LinkAs(exeFolder, 97);
    struct Row {
        std::string folder;
        int com;
        bool linkOnly;
        std::string device;
    };
    const std::vector<Row> rows = {
        {dir.Folder(), 4, false, dir.Folder() + "COM4"},
        {dir.Folder(), 6, false, dir.Folder() + "COM6"},
        {dir.Folder(), 5, false, "/dev/ttyS4"},
        {dir.Folder(), 10, false, "/dev/ttyS9"},
        {dir.Folder(), 1, true, dir.Folder() + "COM1"},
        {"", 97, false, exeFolder + "COM97"},
        {"", 96, false, "/dev/ttyS95"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.folder + " COM" + std::to_string(row.com));
        EXPECT_EQ(ComDevice(row.folder, row.com, row.linkOnly), row.device);
        EXPECT_EQ(ComRule(row.folder, row.linkOnly)(row.com), row.device);
    }
    ::unlink((exeFolder + "COM97").c_str());
}

TEST(UsbDevice, ASerialNumberOrTheOnlyAdapterOfAKindNamesTheDevice) {
    TFakePorts attached;
    attached.Ports = {{"/dev/ttyUSB0", "", "FTDI", "FT232R", "A1", 0x0403, 0x6001, "", -1, ""},
                      {"/dev/ttyUSB1", "", "FTDI", "FT232R", "B2", 0x0403, 0x6001, "", -1, ""},
                      {"/dev/ttyUSB2", "", "QinHeng", "CH340", "", 0x1a86, 0x7523, "", -1, ""},
                      {"/dev/ttyS0", "", "", "", "", -1, -1, "", -1, ""}};
    const std::string all = "/dev/ttyUSB0 (0403:6001, serial A1), /dev/ttyUSB1 (0403:6001, serial B2), "
                            "/dev/ttyUSB2 (1a86:7523, no serial number)";
    TFakePorts nothing;
    struct Row {
        const char* spec;
        TPortSource* ports;
        std::string path, error;
    } rows[] = {
        {"usb:B2", &attached, "/dev/ttyUSB1", ""},
        {"usb:1a86:7523", &attached, "/dev/ttyUSB2", ""},
        {"usb:1A86:7523", &attached, "/dev/ttyUSB2", ""},
        {"usb:0403:6001", &attached, "",
         "2 USB serial adapters 0403:6001 are attached: /dev/ttyUSB0 (0403:6001, serial A1), /dev/ttyUSB1 "
         "(0403:6001, serial B2); name one by its serial number (usb:SERIAL)"},
        {"usb:C3", &attached, "", "no USB serial adapter with serial number C3 is attached; attached: " + all},
        {"usb:A1", &nothing, "", "no USB serial adapter is attached (looked for one with serial number A1)"},
        {"usb:", &attached, "", "usb: needs the adapter's serial number (usb:SERIAL) or its kind (usb:VID:PID)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.spec);
        ASSERT_TRUE(IsUsbDeviceSpec(row.spec));
        std::string path, error;
        EXPECT_EQ(ResolveUsbDevice(row.spec, *row.ports, path, error), row.error.empty());
        EXPECT_EQ(path, row.path);
        EXPECT_EQ(error, row.error);
    }
}

// The driver and the latency timer as sysfs gives them, on a tree of our own: an FTDI adapter has
// both, a CP210x only its driver, a name that is no tty of the tree or that leads out of it nothing.
TEST(PortDetails, DriverAndLatencyTimerComeFromSysfs) {
    TempDir sys;
    const auto tty = [&](const std::string& name, const std::string& driver, const std::string& timer) {
        fs::create_directories(sys.Path() + "/bus/usb-serial/drivers/" + driver);
        fs::create_directories(sys.Path() + "/class/tty/" + name + "/device");
        fs::create_directory_symlink(sys.Path() + "/bus/usb-serial/drivers/" + driver,
                                     sys.Path() + "/class/tty/" + name + "/device/driver");
        if (timer.empty()) return;
        fs::create_directories(sys.Path() + "/bus/usb-serial/devices/" + name);
        WriteWholeFile(sys.Path() + "/bus/usb-serial/devices/" + name + "/latency_timer", timer);
    };
    tty("ttyUSB0", "ftdi_sio", "16\n");
    tty("ttyUSB1", "cp210x", "");
    tty("ttyUSB2", "ftdi_sio", "fast\n");
    const struct Row {
        const char* name;
        std::string driver;
        int timer;
    } rows[] = {{"ttyUSB0", "ftdi_sio", 16}, {"ttyUSB1", "cp210x", -1}, {"ttyUSB2", "ftdi_sio", -1},
                {"pts/3", "", -1},           {"..", "", -1},            {"ttyS9", "", -1}};
    for (const Row& row : rows) {
        TPortInfo info;
        ReadTtyDriverFacts(sys.Path(), row.name, info);
        EXPECT_EQ(info.Driver, row.driver) << row.name;
        EXPECT_EQ(info.LatencyTimerMs, row.timer) << row.name;
    }
}
