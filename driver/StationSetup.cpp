#include "driver/StationSetup.h"

#include "base/ShownText.h"

bool StationSetupOfRecipe(const std::string& path, TStationSetup& setup, std::string& error) {
    TRecipe recipe;
    if (!ReadRecipe(path, recipe, error)) {
        error = "recipe '" + ShownText(path) + "': " + error;
        return false;
    }
    if (recipe.Job != TDriverJob::Upload) {
        error = "recipe '" + ShownText(recipe.Name) + "' is a factory job: the station window loads firmware only";
        return false;
    }
    std::string refusal;
    const TSignatureCheck signature = RecipeApproval(recipe, setup.Policy, refusal);
    if (!refusal.empty()) {
        error = refusal;
        return false;
    }
    setup.Signature = signature;
    setup.Firmware = recipe.FirmwarePath();
    setup.Ports.clear();
    for (const std::string& name : recipe.Ports) {
        TStationPort port;
        PortOfName(name, port.Port, port.Device);
        port.Name = ShownText(name);
        setup.Ports.push_back(port);
    }
    setup.Baud = recipe.Baud;
    // The window goes on to the next unit by itself; a recipe without a loop is one unit a port.
    setup.Count = recipe.Loop ? recipe.Count : 1;
    setup.RecordDb = recipe.RecordLocation();
    setup.Verify = recipe.Verify;
    setup.ExpectVersion = recipe.ExpectVersion;
    setup.RequireUnitId = recipe.RequireUnitId;
    setup.Recipe = recipe;
    return true;
}
