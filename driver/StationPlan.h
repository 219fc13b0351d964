// What a station runs, in one structure for every front end: the job, the firmware and its pin, the
// ports, the speed, the loop, the checks of every unit, the ids and where the records go. The
// command line's options and a recipe are made into it, a recipe is written from it, and each
// port's driver plan is made from it, each in one place.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/JobDriver.h"
#include "driver/Recipe.h"
#include "driver/StationRun.h"

// A port as the operator named it.
struct TStationPort {
    std::string Name;    // "COM 3", or the device as given, shown safely
    int Port = 0;        // COM n when Device is ""
    std::string Device;  // a device path, or a usb: name; "" for COM n
};
// The port of "COM n" (`device` "") or of a device as given.
TStationPort StationPortOf(int comPort, const std::string& device);

// A worn socket fails board after board: a station's port stops after this many in a row.
constexpr int kStationPauseAfterFailures = 3;

struct TStationPlan {
    TDriverJob Job = TDriverJob::Upload;
    std::string Firmware;             // absolute; "" for the factory job, or until the window's operator chooses it
    std::string PinnedSha256;         // a recipe's firmware: what is prepared must be these bytes
    std::vector<TStationPort> Ports;
    int Baud = 38400;
    bool Loop = false;                // each port goes on to its next unit
    int Count = 0;                    // with Loop: units per port, 0 for no end
    int WaitSeconds = 0;              // how long a port that is not there yet is waited for
    bool Capture = false;
    std::string CapturePath;          // "" = Capture.txt in the program folder (one file per port of a station)
    std::string RecordDb;             // "" = history.sqlite in the program folder
    bool Verify = false;              // every upload verified after the unit's restart
    std::string ExpectVersion;        // the software version every unit must report, "" for any
    bool RequireUnitId = false;       // no unit is woken before it has its id
    std::string UnitId;               // the one unit's id, "" for none
    bool AutoGoOn = false;            // the factory job goes on without waiting for the operator
    int TickMs = 50;
    int PauseAfterFailures = -1;      // a port pauses after this many failures in a row, 0 never; -1 a station's default
    std::optional<TRecipe> Recipe;    // the recipe it was made from; records name it
    std::string RecipeKeyId;          // the key whose valid signature the recipe carries, "" for none

    // Several ports, a loop or a recipe's pin: the firmware is prepared (and checked) once, before
    // any port, and each port has its own capture and scratch files.
    bool Station() const { return Ports.size() > 1 || Loop || !PinnedSha256.empty(); }
    // The failures in a row after which a port pauses: as given, else as a station pauses (a slot
    // that keeps failing is a worn socket or cable), and never for one unit alone.
    int PauseAfter() const;
};

// What a recipe fixes. The run's own settings (capture, waiting, ids, the factory job's go-on)
// are the caller's.
TStationPlan StationPlanOf(const TRecipe& recipe);

// The recipe that fixes `plan`, its firmware pinned as `pin` was prepared, to be written to
// `recipePath`: a firmware beside the recipe (or below its folder) is named relative to it, so the
// folder can move whole; devices and a record file are named absolutely.
TRecipe RecipeOf(const TStationPlan& plan, const TStationInput& pin, const std::string& recipePath);

// Each port's driver plan, in the order of the plan's ports (a preparation: one plan, no port).
// `input`: the firmware as prepared once for every port (its Upload, or nullptr). `resolve`, when
// given, turns a port's device into the one to open (a usb: name into its adapter) before its
// files are named. On a station, two ports whose devices share a name get capture and scratch
// files of their own.
std::vector<TJobPlan> PortPlans(const TStationPlan& plan, const TStationInput& input, const std::string& programFolder,
                                const std::function<std::string(const std::string&)>& resolve = {});

// "" when the prepared firmware is the one the plan pins (or it pins none); otherwise both digests,
// "sha256 <prepared> (prepared), <pinned> (recipe)".
std::string PinMismatch(const TStationPlan& plan, const std::string& preparedSha256);
