// A recipe file of any bytes: refused with a reason, or read into a recipe that holds what a
// station can run (ports, a count from 0, a pinned digest), and that reads back the same once
// written.
#include <cstdint>
#include <string>

#include "driver/Recipe.h"
#include "fuzz/FuzzSupport.h"

namespace {

bool Same(const TRecipe& a, const TRecipe& b) {
    return a.Job == b.Job && a.Firmware == b.Firmware && a.Sha256 == b.Sha256 && a.Size == b.Size &&
           a.Blocks == b.Blocks && a.Checksum == b.Checksum && a.Ports == b.Ports && a.Loop == b.Loop &&
           a.Count == b.Count && a.RecordDb == b.RecordDb && a.RequireUnitId == b.RequireUnitId &&
           (a.Job == TDriverJob::Factory || (a.Baud == b.Baud && a.Verify == b.Verify && a.ExpectVersion == b.ExpectVersion));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    TRecipe recipe;
    std::string error;
    if (!ParseRecipe(bytes, recipe, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(!recipe.Ports.empty() && recipe.Count >= 0 && recipe.ContentSha256.size() == 64);
    FUZZ_CHECK(recipe.Job != TDriverJob::Upload || (recipe.Sha256.size() == 64 && !recipe.Firmware.empty()));
    TRecipe again;
    FUZZ_CHECK(ParseRecipe(RecipeText(recipe), again, error));
    FUZZ_CHECK(Same(recipe, again));
    return 0;
}
