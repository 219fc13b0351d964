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
    TStationPlan& plan = setup;
    const TStationPlan kept = plan;
    plan = StationPlanOf(recipe);
    // What the recipe leaves to the run.
    plan.Capture = kept.Capture;
    plan.CapturePath = kept.CapturePath;
    plan.TickMs = kept.TickMs;
    plan.RecipeKeyId = signature.Valid() ? signature.KeyId : std::string();
    // The window goes on to the next unit by itself; a recipe without a loop is one unit a port.
    plan.Count = recipe.Loop ? recipe.Count : 1;
    plan.Loop = true;
    return true;
}
