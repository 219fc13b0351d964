// The station plan the command line's options ask for, alone or with the recipe they run.
#pragma once

#include "cli/CommandLineOptions.h"
#include "driver/StationPlan.h"

// Without a recipe, everything from `options`. With one, the recipe fixes the job, the firmware,
// the ports, the speed, the loop, the checks and the record, and `options` give only the run's
// own settings: capture, how long a port is waited for, the factory job's go-on and the tick.
TStationPlan StationPlanOf(const TCliOptions& options, const TRecipe* recipe = nullptr);
