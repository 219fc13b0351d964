#include "cli/OptionsPlan.h"

#include "base/Paths.h"

namespace {

TDriverJob JobOf(TCommand command) {
    switch (command) {
    case TCommand::Factory: return TDriverJob::Factory;
    case TCommand::Prepare: return TDriverJob::Prepare;
    default: return TDriverJob::Upload;
    }
}

}  // namespace

TStationPlan StationPlanOf(const TCliOptions& options, const TRecipe* recipe) {
    TStationPlan plan;
    if (recipe) {
        plan = StationPlanOf(*recipe);
        plan.RecipeKeyId = options.RecipeKeyId;
    } else {
        plan.Job = JobOf(options.Command);
        // The engine is given the file's absolute path: nothing here changes the process's folder,
        // which is every job's.
        if (plan.Job != TDriverJob::Factory && !options.File.empty()) plan.Firmware = AbsolutePath(options.File);
        for (const TCliOptions::TPortChoice& choice : options.Ports)
            plan.Ports.push_back(StationPortOf(choice.Port, choice.Device));
        plan.Baud = options.Baud;
        plan.Loop = options.Loop;
        plan.Count = options.Count;
        plan.RecordDb = options.RecordDb;
        plan.Verify = options.Verify;
        plan.ExpectVersion = options.ExpectVersion;
        plan.RequireUnitId = options.RequireUnitId;
        plan.UnitId = options.UnitId;
        plan.PauseAfterFailures = options.PauseAfterFailures;
    }
    plan.Capture = options.Capture;
    plan.CapturePath = options.CapturePath.empty() ? std::string() : AbsolutePath(options.CapturePath);
    plan.WaitSeconds = options.WaitSeconds;
    plan.AutoGoOn = options.Yes;
    plan.TickMs = options.TickMs;
    return plan;
}
