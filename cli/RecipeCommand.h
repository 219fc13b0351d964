// zupflshc recipe: a line's settings written once into a recipe file, shown with a check of the
// firmware it pins, and run exactly as the station runs.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

#include "cli/CommandLineOptions.h"

// `words`: what follows "recipe". `runJob` runs a station's options (the command line's own).
int RunRecipeCommand(const QStringList& words, const std::function<int(TCliOptions&)>& runJob);
QString RecipeUsageText();
