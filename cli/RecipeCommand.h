// zupflshc recipe: a line's settings written once into a recipe file, shown with a check of the
// firmware it pins, and run exactly as the station runs.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <string>

#include "cli/CommandLineOptions.h"
#include "driver/StationPlan.h"

// An argument's bytes as given, from the text Qt decoded it to (a name that is not valid in the
// locale's encoding does not survive the decoding).
using TRawArgument = std::function<std::string(const std::string&)>;

// A station's plan run as the command line runs it, with the run's own options (output, ids).
using TRunJob = std::function<int(const TCliOptions&, const TStationPlan&)>;
// `words`: what follows "recipe".
int RunRecipeCommand(const QStringList& words, const TRawArgument& raw, const TRunJob& runJob);
QString RecipeUsageText();
