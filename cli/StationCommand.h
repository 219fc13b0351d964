// zupflshc station: the station window's setup from the command line, the options of `upload` or a
// recipe alone, checked before any window opens.
#pragma once

#include "driver/StationSetup.h"

// The setup for `zupflshc station ...` (argv[1] is "station"): -1 when the window is to open with
// `setup`; otherwise the exit status, with the help, the version or the one line of bad usage
// printed.
int StationCommandSetup(int argc, char** argv, TStationSetup& setup);
