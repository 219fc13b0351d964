// zupflshc key, and the signing side of zupflshc recipe: the engineer's keys made and shown, a
// recipe signed and its signature checked; and the station's policy applied to the command line's
// jobs before any port opens.
#pragma once

#include <QStringList>
#include <string>

#include "cli/RecipeCommand.h"

struct TCliOptions;
struct TRecipe;

// `words`: what follows "key".
int RunKeyCommand(const QStringList& words, const TRawArgument& raw);
QString KeyUsageText();
// `words`: what follows "recipe sign" and "recipe verify".
int SignRecipeCommand(const QStringList& words, const TRawArgument& raw);
int VerifyRecipeCommand(const QStringList& words, const TRawArgument& raw);
// The line `recipe show` prints about the recipe's signature, checked against the station's policy.
std::string SignatureLine(const TRecipe& recipe);

// A job that names no recipe (upload, factory): "" when the station's policy lets it load a unit,
// else what to tell the operator.
std::string UnsignedJobRefusal(const std::string& policyPath);
// A recipe's run: "" when the policy lets it run, else why not; sets options.RecipeKeyId from a
// valid signature.
std::string RecipeRunRefusal(const TRecipe& recipe, TCliOptions& options);
