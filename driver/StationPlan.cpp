#include "driver/StationPlan.h"

#include <algorithm>

#include "base/Paths.h"
#include "base/ShownText.h"
#include "host/Ports.h"

TStationPort StationPortOf(int comPort, const std::string& device) {
    TStationPort port;
    port.Port = device.empty() ? comPort : 0;
    port.Device = device;
    // The name heads every line and tile of the port: a crafted one must not drive a terminal.
    port.Name = device.empty() ? "COM " + std::to_string(comPort) : ShownText(device);
    return port;
}

TStationPlan StationPlanOf(const TRecipe& recipe) {
    TStationPlan plan;
    plan.Job = recipe.Job;
    if (recipe.Job == TDriverJob::Upload) {
        plan.Firmware = recipe.FirmwarePath();
        plan.PinnedSha256 = recipe.Sha256;
    }
    for (const std::string& name : recipe.Ports) {
        int com = 0;
        std::string device;
        PortOfName(name, com, device);
        plan.Ports.push_back(StationPortOf(com, device));
    }
    plan.Baud = recipe.Baud;
    plan.Loop = recipe.Loop;
    plan.Count = recipe.Count;
    plan.RecordDb = recipe.RecordLocation();
    plan.Verify = recipe.Verify;
    plan.ExpectVersion = recipe.ExpectVersion;
    plan.RequireUnitId = recipe.RequireUnitId;
    plan.PauseAfterFailures = recipe.PauseAfterFailures;
    plan.Recipe = recipe;
    return plan;
}

TRecipe RecipeOf(const TStationPlan& plan, const TStationInput& pin, const std::string& recipePath) {
    TRecipe recipe;
    recipe.Job = plan.Job;
    if (plan.Job == TDriverJob::Upload) {
        const std::string absolute = AbsolutePath(recipePath);
        const std::string folder = absolute.substr(0, FileNameStart(absolute));
        recipe.Firmware = pin.File.compare(0, folder.size(), folder) == 0 ? pin.File.substr(folder.size()) : pin.File;
        recipe.Sha256 = pin.Sha256;
        recipe.Size = pin.Size;
        recipe.Blocks = pin.Blocks;
        recipe.Checksum = pin.Checksum;
    }
    for (const TStationPort& port : plan.Ports)
        recipe.Ports.push_back(port.Device.empty() || IsUsbDeviceSpec(port.Device) ? PortName(port.Port, port.Device)
                                                                                   : AbsolutePath(port.Device));
    recipe.Baud = plan.Baud;
    recipe.Loop = plan.Loop;
    recipe.Count = plan.Count;
    recipe.RecordDb = AbsoluteRecordLocation(plan.RecordDb);
    recipe.Verify = plan.Verify;
    recipe.ExpectVersion = plan.ExpectVersion;
    recipe.RequireUnitId = plan.RequireUnitId;
    recipe.PauseAfterFailures = plan.PauseAfterFailures;
    return recipe;
}

namespace {

TJobPlan CommonPlan(const TStationPlan& plan, const TStationInput& input) {
    TJobPlan port;
    port.Job = plan.Job;
    port.Capture = plan.Capture;
    port.CapturePath = plan.CapturePath;
    port.FilePath = plan.Firmware;
    port.Prepared = input.Upload;
    port.Baud = plan.Baud;
    port.Loop = plan.Loop;
    port.Count = plan.Count;
    port.WaitSeconds = plan.WaitSeconds;
    port.TickMs = plan.TickMs;
    port.AutoGoOn = plan.AutoGoOn;
    port.ScratchTag = "1";
    port.Verify = plan.Verify;
    port.ExpectVersion = plan.ExpectVersion;
    port.RequireUnitId = plan.RequireUnitId;
    port.UnitId = plan.UnitId;
    port.PauseAfterFailures = plan.PauseAfter();
    return port;
}

}  // namespace

std::vector<TJobPlan> PortPlans(const TStationPlan& plan, const TStationInput& input, const std::string& programFolder,
                                const std::function<std::string(const std::string&)>& resolve) {
    if (plan.Job == TDriverJob::Prepare) return {CommonPlan(plan, input)};
    std::vector<TJobPlan> ports;
    std::vector<std::string> tags;
    for (size_t i = 0; i < plan.Ports.size(); ++i) {
        const TStationPort& given = plan.Ports[i];
        TJobPlan port = CommonPlan(plan, input);
        port.Name = given.Name;
        port.Port = given.Port ? given.Port : 1;
        port.Device = given.Device.empty() || IsUsbDeviceSpec(given.Device) ? given.Device : AbsolutePath(given.Device);
        if (resolve && !port.Device.empty()) port.Device = resolve(port.Device);
        if (plan.Station()) {
            // Two devices of one name in different folders must not share a capture file.
            std::string tag = PortTag(port.Port, port.Device);
            if (std::find(tags.begin(), tags.end(), tag) != tags.end()) tag += "-" + std::to_string(i + 1);
            tags.push_back(tag);
            port.CapturePath = PortCapturePath(plan.CapturePath, programFolder, tag);
            port.ScratchTag = tag;
        }
        ports.push_back(std::move(port));
    }
    return ports;
}

int TStationPlan::PauseAfter() const {
    if (PauseAfterFailures >= 0) return PauseAfterFailures;
    return Station() ? kStationPauseAfterFailures : 0;
}

std::string PinMismatch(const TStationPlan& plan, const std::string& preparedSha256) {
    if (plan.PinnedSha256.empty() || preparedSha256 == plan.PinnedSha256) return {};
    return "sha256 " + preparedSha256 + " (prepared), " + plan.PinnedSha256 + " (recipe)";
}
