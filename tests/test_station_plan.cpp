// A station's plan, made from the command line's options or from a recipe, and each port's driver
// plan made from it: the fields every front end's ports start with.
#include <gtest/gtest.h>

#include <functional>

#include "cli/OptionsPlan.h"

namespace {

TCliOptions Options(std::vector<TCliOptions::TPortChoice> ports) {
    TCliOptions o;
    o.Command = TCommand::Upload;
    o.File = "/line/fw.h86";
    o.Ports = std::move(ports);
    return o;
}

TRecipe Recipe(std::vector<std::string> ports) {
    TRecipe r;
    r.Path = "/line/line3.json";
    r.Firmware = "fw.h86";
    r.Sha256 = std::string(64, 'a');
    r.Ports = std::move(ports);
    return r;
}

struct TPortOut {
    std::string Name;
    int Port;
    std::string Device;
    std::string CapturePath;
    std::string ScratchTag;
};

}  // namespace

TEST(StationPlan, EachPortsDriverPlanFromOptionsOrARecipe) {
    struct TRow {
        const char* what;
        std::function<TStationPlan()> plan;
        std::vector<TPortOut> ports;
        bool loop;
        int count;
        int baud;
    };
    const TRow rows[] = {
        {"one port, one unit: the capture file as given, no port's tag",
         [] {
             TCliOptions o = Options({{3, ""}});
             o.Capture = true;
             o.CapturePath = "/cap/c.txt";
             return StationPlanOf(o);
         },
         {{"COM 3", 3, "", "/cap/c.txt", "1"}}, false, 0, 38400},
        {"two devices of one name in different folders: files of their own",
         [] {
             TCliOptions o = Options({{0, "/dev/a/ttyUSB0"}, {0, "/dev/b/ttyUSB0"}, {2, ""}});
             o.CapturePath = "/cap/c.txt";
             return StationPlanOf(o);
         },
         {{"/dev/a/ttyUSB0", 1, "/dev/a/ttyUSB0", "/cap/c-ttyUSB0.txt", "ttyUSB0"},
          {"/dev/b/ttyUSB0", 1, "/dev/b/ttyUSB0", "/cap/c-ttyUSB0-2.txt", "ttyUSB0-2"},
          {"COM 2", 2, "", "/cap/c-COM2.txt", "COM2"}},
         false, 0, 38400},
        {"a loop on one port is a station: its files are tagged, in the program folder by default",
         [] {
             TCliOptions o = Options({{0, "usb:A1B2"}});
             o.Loop = true;
             o.Count = 5;
             return StationPlanOf(o);
         },
         {{"usb:A1B2", 1, "usb:A1B2", "/prog/Capture-usb:A1B2.txt", "usb:A1B2"}}, true, 5, 38400},
        {"a recipe fixes ports and speed whatever the options say; COM names as written are COM n",
         [] {
             TRecipe r = Recipe({"com 4", "COM5"});
             r.Baud = 9600;
             TCliOptions o = Options({{1, ""}});
             o.Baud = 115200;
             return StationPlanOf(o, &r);
         },
         {{"COM 4", 4, "", "/prog/Capture-COM4.txt", "COM4"}, {"COM 5", 5, "", "/prog/Capture-COM5.txt", "COM5"}},
         false, 0, 9600},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.what);
        const TStationPlan plan = row.plan();
        const std::vector<TJobPlan> ports = PortPlans(plan, {}, "/prog/");
        ASSERT_EQ(ports.size(), row.ports.size());
        for (size_t i = 0; i < ports.size(); ++i) {
            EXPECT_EQ(ports[i].Name, row.ports[i].Name);
            EXPECT_EQ(ports[i].Port, row.ports[i].Port);
            EXPECT_EQ(ports[i].Device, row.ports[i].Device);
            EXPECT_EQ(ports[i].CapturePath, row.ports[i].CapturePath);
            EXPECT_EQ(ports[i].ScratchTag, row.ports[i].ScratchTag);
            EXPECT_EQ(ports[i].Loop, row.loop);
            EXPECT_EQ(ports[i].Count, row.count);
            EXPECT_EQ(ports[i].Baud, row.baud);
            EXPECT_EQ(ports[i].FilePath, "/line/fw.h86");
        }
    }
}

// A recipe run takes only the run's own settings from its options; the checks are the recipe's.
TEST(StationPlan, ARecipeRunTakesTheRunsOwnSettingsFromTheOptionsOnly) {
    TRecipe r = Recipe({"/dev/ttyUSB0"});
    r.Loop = true;
    r.Verify = true;
    r.ExpectVersion = "2.14";
    r.RequireUnitId = true;
    TCliOptions o = Options({{0, "/dev/ttyS9"}});
    o.Yes = true;
    o.WaitSeconds = 30;
    o.TickMs = 5;
    o.Capture = true;
    const std::vector<TJobPlan> ports = PortPlans(StationPlanOf(o, &r), {}, "/prog/");
    ASSERT_EQ(ports.size(), 1u);
    const TJobPlan& p = ports[0];
    EXPECT_EQ(p.Device, "/dev/ttyUSB0");
    EXPECT_TRUE(p.Verify && p.RequireUnitId && p.Capture && p.AutoGoOn);
    EXPECT_EQ(p.ExpectVersion, "2.14");
    EXPECT_EQ(p.WaitSeconds, 30);
    EXPECT_EQ(p.TickMs, 5);
}

// The command line looks a usb: name up before the ports start: the port's files are named after
// the adapter it reached, as its capture file always was.
TEST(StationPlan, AResolvedDeviceNamesThePortsFiles) {
    TCliOptions o = Options({{0, "usb:A1B2"}, {0, "ttyS1"}});
    const std::vector<TJobPlan> ports = PortPlans(StationPlanOf(o), {}, "/prog/", [](const std::string& device) {
        return device == "usb:A1B2" ? std::string("/dev/ttyUSB7") : device;
    });
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].Name, "usb:A1B2");
    EXPECT_EQ(ports[0].Device, "/dev/ttyUSB7");
    EXPECT_EQ(ports[0].ScratchTag, "ttyUSB7");
    EXPECT_EQ(ports[1].Device.front(), '/') << "a relative device is opened where it was named";
}

TEST(StationPlan, ThePinnedDigestIsCheckedAgainstThePreparedBytes) {
    const TStationPlan pinned = StationPlanOf(Recipe({"COM 1"}));
    EXPECT_EQ(PinMismatch(pinned, std::string(64, 'a')), "");
    EXPECT_EQ(PinMismatch(pinned, std::string(64, 'b')),
              "sha256 " + std::string(64, 'b') + " (prepared), " + std::string(64, 'a') + " (recipe)");
    EXPECT_EQ(PinMismatch(StationPlanOf(Options({{1, ""}})), std::string(64, 'b')), "") << "nothing pinned";
}

// What the window saves is what a run of the saved recipe starts with.
TEST(StationPlan, ARecipeWrittenFromAPlanGivesThatPlanBack) {
    TStationPlan plan = StationPlanOf(Options({{2, ""}, {0, "/dev/ttyUSB0"}, {0, "usb:A1B2"}}));
    plan.Loop = true;
    plan.Count = 3;
    plan.Verify = true;
    TStationInput pin;
    pin.File = "/line/sub/fw.h86";
    pin.Sha256 = std::string(64, 'c');
    const TRecipe recipe = RecipeOf(plan, pin, "/line/line3.json");
    EXPECT_EQ(recipe.Firmware, "sub/fw.h86");
    TRecipe read = recipe;
    read.Path = "/line/line3.json";
    const TStationPlan again = StationPlanOf(read);
    EXPECT_EQ(again.Firmware, "/line/sub/fw.h86");
    EXPECT_EQ(again.PinnedSha256, pin.Sha256);
    ASSERT_EQ(again.Ports.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(again.Ports[i].Name, plan.Ports[i].Name);
        EXPECT_EQ(again.Ports[i].Port, plan.Ports[i].Port);
        EXPECT_EQ(again.Ports[i].Device, plan.Ports[i].Device);
    }
    EXPECT_TRUE(again.Loop && again.Verify);
    EXPECT_EQ(again.Count, 3);
}
