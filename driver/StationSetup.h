// What a station starts with: the firmware, the ports, the checks of every unit and where the
// records go, from the command line or from a recipe, for a station window to run.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver/Recipe.h"
#include "driver/StationPolicy.h"

// A port as the operator named it.
struct TStationPort {
    std::string Name;    // "COM 3", or the device as given
    int Port = 0;        // COM n when Device is ""
    std::string Device;  // a device path, or a usb: name; "" for COM n
};

// What the station window starts with, from the command line or a recipe.
struct TStationSetup {
    std::string Firmware;             // absolute; "" = the operator chooses it in the window
    std::vector<TStationPort> Ports;  // "" = the operator adds them in the window
    int Baud = 38400;
    bool Capture = false;
    std::string CapturePath;          // "" = Capture.txt in the program folder, one file per port
    std::string RecordDb;             // "" = history.sqlite in the program folder
    int Count = 0;                    // units per port before it ends, 0 for no end
    bool Verify = false;              // every upload verified after the unit's restart
    std::string ExpectVersion;        // the software version every unit must report, "" for any
    bool RequireUnitId = false;       // no unit is woken before it has its id
    // A recipe fixes the file, the baud, the ports and the checks; records name it.
    std::optional<TRecipe> Recipe;
    TSignatureCheck Signature;             // the recipe's, against the policy's keys
    std::optional<TStationPolicy> Policy;  // the station's; none: every job as it comes
    // ---- for tests, benchmarks and tools ----
    int TickMs = 50;
    std::string ProgramFolder;        // "" = the program's own; ends with '/'
    bool ModalBoxes = true;           // false: message boxes and questions are recorded, not shown
    bool KeepRecords = true;
};

// The setup a recipe fixes. False with `error` for a recipe that cannot be read, one the window
// does not run (the factory job), or one that setup.Policy does not approve.
bool StationSetupOfRecipe(const std::string& path, TStationSetup& setup, std::string& error);
