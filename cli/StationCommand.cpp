#include "cli/StationCommand.h"

#include <QString>
#include <QStringList>
#include <cstdio>

#include "base/Paths.h"
#include "base/ShownText.h"
#include "cli/CommandLineOptions.h"
#include "cli/OptionsPlan.h"
#include "control/ControlAccess.h"

namespace {

// An option that a recipe would silently override.
bool FixedByRecipe(const QStringList& words) {
    for (const QString& word : words)
        if (QStringList{"baud", "count", "record-db", "verify", "expect-version", "require-unit-id"}.contains(OptionName(word)))
            return true;
    return false;
}

}  // namespace

int StationCommandSetup(int argc, char** argv, TStationSetup& setup) {
    QStringList words;
    for (int i = 1; i < argc; ++i) words << QString::fromLocal8Bit(argv[i]);
    TCliOptions options;
    QString error;
    switch (ParseCommandLine(words, options, error)) {
    case TParse::Help: std::fputs(UsageText().toLocal8Bit().constData(), stdout); return Exit::Success;
    case TParse::Version: std::printf("zupflshc %s\n", ZUP_VERSION); return Exit::Success;
    case TParse::Fail: std::fprintf(stderr, "zupflshc: %s\n", error.toLocal8Bit().constData()); return Exit::Usage;
    case TParse::Run: break;
    }
    // `station` takes the options of `upload` for its ports and file; anything the operator did not
    // give is chosen in the window, which goes on to each port's next unit by itself.
    static_cast<TStationPlan&>(setup) = StationPlanOf(options);
    setup.Loop = true;
    setup.Control = options.Control;
    setup.ControlToken = options.ControlToken;
    setup.Hold = options.Hold;
    std::string problem, policyError;
    // An address that cannot be is refused before any window (one that cannot be taken, at Listen).
    TControlAddress address;
    if (std::string wrong; !setup.Control.empty() && !ParseControlAddress(setup.Control, address, wrong)) {
        std::fprintf(stderr, "zupflshc: %s\n", wrong.c_str());
        return Exit::Usage;
    }
    // A record file named relative to here stays this one when a saved recipe names it.
    setup.RecordDb = AbsoluteRecordLocation(options.RecordDb);
    if (!LoadStationPolicy(options.PolicyPath, setup.Policy, policyError)) {
        std::fprintf(stderr, "zupflshc: %s\n", policyError.c_str());
        return Exit::Usage;
    }
    // A recipe fixes everything the options would: it is read, and refused, before any window.
    const bool recipe = options.File.size() > 5 && options.File.compare(options.File.size() - 5, 5, ".json") == 0;
    if (recipe && (!options.Ports.empty() || FixedByRecipe(words)))
        problem = "a recipe fixes the ports, the baud, the count, the record and the checks: give the recipe alone";
    else if (recipe)
        StationSetupOfRecipe(AbsolutePath(options.File), setup, problem);
    if (!problem.empty()) {
        std::fprintf(stderr, "zupflshc: %s\n", problem.c_str());
        return Exit::Usage;
    }
    return -1;
}
