// The station's policy: which engineers' keys it trusts and whether it loads signed recipes only.
// Kept where an operator cannot change it (root's /etc/zupflshc/policy.json), so what a unit may be
// loaded with is decided by the line, not by whoever sits at the station.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver/RecipeSignature.h"

struct TRecipe;

constexpr const char* kDefaultPolicyPath = "/etc/zupflshc/policy.json";

// The policy file's content, as written (key paths relative to the policy's folder or absolute).
struct TPolicyText {
    std::vector<std::string> TrustedKeys;
    bool RequireSignedRecipes = false;
};
// Checks the form only: a JSON object of known keys with sound values.
bool ParsePolicy(const std::string& bytes, TPolicyText& policy, std::string& error);

struct TStationPolicy {
    std::string Path;  // absolute
    bool RequireSignedRecipes = false;
    std::vector<TPublicKey> Keys;

    // What a job that is not a signed recipe is told under a requiring policy.
    std::string SignedOnly() const;
    // "" when `recipe` may run here, else why not, naming the recipe and the policy.
    std::string RecipeRefusal(const TRecipe& recipe, const TSignatureCheck& check) const;
};

// The policy at `given`, or when `given` is "" at kDefaultPolicyPath, where its absence means no
// policy (`policy` stays empty). The file and each key it names must be a regular file owned by
// root (or, for a policy given, by the running user) that no one else may write to, on a way no
// other user could have laid. False with `error`, naming the file, for a policy that cannot be used:
// then no job starts.
bool LoadStationPolicy(const std::string& given, std::optional<TStationPolicy>& policy, std::string& error);
// The keys to check a recipe against: the policy's, or none.
const std::vector<TPublicKey>& TrustedKeys(const std::optional<TStationPolicy>& policy);

// What `recipe`'s signature comes to under `policy` (none: no key trusted): `refusal` is "" when the
// recipe may run here, else why not.
TSignatureCheck RecipeApproval(const TRecipe& recipe, const std::optional<TStationPolicy>& policy,
                               std::string& refusal);
