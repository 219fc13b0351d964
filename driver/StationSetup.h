// What a station window starts with: the station's plan, from the command line or from a recipe,
// and the window's own settings.
#pragma once

#include <string>

#include "driver/StationPlan.h"
#include "driver/StationPolicy.h"

// The station's plan as the window runs it: every port goes on to its next unit by itself until
// the operator stops the line (Count, when not 0, ends each port after that many units). A recipe
// fixes the file, the baud, the ports and the checks; records name it.
struct TStationSetup : TStationPlan {
    TStationSetup() { Loop = true; }
    TSignatureCheck Signature;             // the recipe's, against the policy's keys
    std::optional<TStationPolicy> Policy;  // the station's; none: every job as it comes
    // --control ADDRESS, its --control-token FILE, and --hold: the ports wait for the socket's start.
    std::string Control, ControlToken;
    bool Hold = false;
    // ---- for tests, benchmarks and tools ----
    std::string ProgramFolder;        // "" = the program's own; ends with '/'
    bool ModalBoxes = true;           // false: message boxes and questions are recorded, not shown
    bool KeepRecords = true;
};

// The setup a recipe fixes, the window's other settings kept. False with `error` for a recipe that
// cannot be read, one the window does not run (the factory job), or one that setup.Policy does not approve.
bool StationSetupOfRecipe(const std::string& path, TStationSetup& setup, std::string& error);
