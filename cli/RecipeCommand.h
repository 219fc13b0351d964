// zupflshc recipe: a line's settings written once into a recipe file, shown with a check of the
// firmware it pins, and run exactly as the station runs.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <string>

#include "cli/CommandLineOptions.h"

// An argument's bytes as given, from the text Qt decoded it to (a name that is not valid in the
// locale's encoding does not survive the decoding).
using TRawArgument = std::function<std::string(const std::string&)>;

// `words`: what follows "recipe". `runJob` runs a station's options (the command line's own).
int RunRecipeCommand(const QStringList& words, const TRawArgument& raw, const std::function<int(TCliOptions&)>& runJob);
QString RecipeUsageText();
