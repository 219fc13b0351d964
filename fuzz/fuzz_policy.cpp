// A station's policy file of any bytes: refused with a reason, or read into a policy that names a
// key for every one it lists, and trusts at least one whenever it requires signed recipes.
#include <cstdint>
#include <string>

#include "driver/StationPolicy.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    TPolicyText policy;
    std::string error;
    if (!ParsePolicy(bytes, policy, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(!policy.RequireSignedRecipes || !policy.TrustedKeys.empty());
    for (const std::string& key : policy.TrustedKeys) FUZZ_CHECK(!key.empty());
    return 0;
}
