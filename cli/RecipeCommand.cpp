#include "cli/RecipeCommand.h"
#include "cli/OptionsPlan.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>
#include <optional>

#include "base/Paths.h"
#include "base/RunError.h"
#include "base/SafeFile.h"
#include "base/Sha256.h"
#include "base/ShownText.h"
#include "base/TrustedPath.h"
#include "cli/KeyCommand.h"
#include "driver/JobDriver.h"
#include "driver/Preparation.h"
#include "driver/Recipe.h"
#include "history/HistoryLocation.h"
#include "host/Folders.h"
#include "host/Ports.h"
#include "host/StopSignals.h"

namespace {

constexpr size_t kMaxFirmwareSize = 64u << 20;

// What each subcommand takes besides its own words; the rest belongs in the recipe, or nowhere.
const QStringList kWriteOptions = {"port",   "device",         "baud",           "loop", "count", "record-db",
                                   "verify", "expect-version", "require-unit-id", "pause-after-failures"};
const QStringList kRunOptions = {"json", "scan", "yes", "capture", "tick-ms", "wait", "policy", "control", "control-token", "hold"};

int Refuse(const std::string& text) {
    std::fprintf(stderr, "zupflshc: %s\n", text.c_str());
    return Exit::Usage;
}

std::string Local(const QString& text) { return QFile::encodeName(text).toStdString(); }

// An option of `words` that `allowed` does not hold, "" when there is none.
QString StrayOption(const QStringList& words, const QStringList& allowed) {
    for (const QString& word : words) {
        if (word == "--") break;
        const QString name = OptionName(word);
        if (!name.isEmpty() && !allowed.contains(name) && name != "h" && name != "help") return "--" + name;
    }
    return {};
}

// The preparation's result, as `prepare` gets it, made in memory: nothing is written beside the
// firmware.
std::optional<TJobResult> PrepareQuietly(const std::string& file) {
    std::optional<TJobResult> prepared;
    TStopSignals stops;
    QObject context;
    TPreparation preparation(file, TJobPlan{}.TickMs, ResolveProgramFolder(ExecutableFolder()), stops, &context,
                             [&](const TJobResult& result, const TSharedUpload&) {
                                 prepared = result;
                                 QCoreApplication::exit();
                             });
    preparation.Begin();
    QCoreApplication::exec();
    return prepared;
}

// The firmware pinned: its digest and size, and its blocks and checksum as prepared.
bool PinFirmware(const std::string& given, const std::string& recipePath, TStationInput& pin, std::string& error) {
    if (!CheckFirmwareFile(given, error)) return false;
    const std::string file = AbsolutePath(given);
    if (const std::string untrusted = UntrustedPathReason(file); !untrusted.empty()) {
        error = "the firmware '" + ShownText(file) + "' is not used: " + untrusted;
        return false;
    }
    pin.File = file;
    // A recipe is JSON, which holds text: a name of other bytes would come back as another file's.
    const std::string named = RecipeOf({}, pin, recipePath).Firmware;
    if (QString::fromUtf8(named.c_str()).toUtf8().toStdString() != named) {
        error = "the firmware's name '" + ShownText(named) + "' is not UTF-8 text, which a recipe cannot hold: rename the file";
        return false;
    }
    try {
        const std::optional<std::string> bytes = ReadSmallFile(file, kMaxFirmwareSize);
        if (!bytes) throw EInOutError("Cannot open file", file, ENOENT);
        pin.Sha256 = Sha256Hex(*bytes);
        pin.Size = static_cast<int64_t>(bytes->size());
    } catch (const EInOutError& e) {
        error = e.what();
        return false;
    }
    const std::optional<TJobResult> prepared = PrepareQuietly(file);
    if (!prepared || prepared->Kind != TResultKind::Prepared) {
        error = "'" + ShownText(file) + "' cannot be prepared" + (prepared ? ": " + prepared->Reason : std::string());
        return false;
    }
    pin.Blocks = prepared->BlockCount;
    pin.Checksum = prepared->FileChecksum;
    return true;
}

int WriteCommand(const QStringList& words, const TRawArgument& raw) {
    if (words.size() < 2) return Refuse("recipe write needs FILE.json and a job: upload FW or factory");
    if (const QString stray = StrayOption(words, kWriteOptions); !stray.isEmpty())
        return Refuse("recipe write does not take " + Local(stray) + " (see zupflshc recipe --help)");
    const std::string path = raw(Local(words[0]));
    TCliOptions o;
    QString parseError;
    if (ParseCommandLine(words.mid(1), o, parseError) != TParse::Run) return Refuse(Local(parseError));
    o.File = raw(o.File);
    if (o.Command != TCommand::Upload && o.Command != TCommand::Factory)
        return Refuse("a recipe's job is upload FW or factory");
    const TStationPlan plan = StationPlanOf(o);
    TStationInput pin;
    std::string error;
    if (plan.Job == TDriverJob::Upload && !PinFirmware(o.File, path, pin, error)) return Refuse(error);
    TRecipe recipe = RecipeOf(plan, pin, path);
    if (!WriteRecipe(path, recipe, error)) return Refuse(error);
    std::printf("Written: %s\n", ShownText(recipe.Path).c_str());
    return Exit::Success;
}

bool Load(const std::string& path, TRecipe& recipe, std::string& error) {
    if (ReadRecipe(path, recipe, error)) return true;
    error = "recipe '" + ShownText(path) + "': " + error;
    return false;
}

void PrintRecipe(const TRecipe& r) {
    const auto yes = [](bool b) { return b ? "yes" : "no"; };
    std::printf("Recipe: %s (sha256 %s)\n", ShownText(r.Name).c_str(), r.ContentSha256.c_str());
    std::printf("Job: %s\n", r.Job == TDriverJob::Factory ? "factory" : "upload");
    if (r.Job == TDriverJob::Upload) {
        std::printf("Firmware: %s\n", ShownText(r.FirmwarePath()).c_str());
        std::printf("  sha256 %s, %lld bytes, %d blocks, checksum %s\n", r.Sha256.c_str(),
                    static_cast<long long>(r.Size), r.Blocks, ShownText(r.Checksum).c_str());
        std::printf("Baud: %d\n", r.Baud);
        std::printf("Verify every unit: %s\n", yes(r.Verify));
        std::printf("Software version required: %s\n", r.ExpectVersion.empty() ? "any" : ShownText(r.ExpectVersion).c_str());
    }
    std::string ports;
    for (const std::string& port : r.Ports) ports += (ports.empty() ? "" : ", ") + ShownText(port);
    std::printf("Ports: %s\n", ports.c_str());
    if (!r.Loop) std::printf("Loop: no\n");
    else if (r.Count == 0) std::printf("Loop: yes, until stopped\n");
    else std::printf("Loop: yes, %d units a port\n", r.Count);
    // The location as `run` takes it: a file relative to the recipe's folder, in the locale's encoding.
    THistoryLocation location;
    QString ignored;
    const std::string where = r.RecordLocation();
    std::printf("Record: %s\n", where.empty() ? "history.sqlite in the program folder"
                                : ParseHistoryLocation(QString::fromLocal8Bit(where.c_str()), location, ignored)
                                    ? Local(location.Display()).c_str()
                                    : ShownText(where).c_str());
    std::printf("Unit id required: %s\n", yes(r.RequireUnitId));
    if (r.PauseAfterFailures == 0) std::printf("Pause after failures in a row: never\n");
    else std::printf("Pause after failures in a row: %d\n", r.PauseAfterFailures > 0 ? r.PauseAfterFailures : kStationPauseAfterFailures);
}

int ShowCommand(const QStringList& words, const TRawArgument& raw) {
    if (words.size() != 1) return Refuse("recipe show takes one FILE.json");
    TRecipe recipe;
    std::string error;
    if (!Load(raw(Local(words[0])), recipe, error)) return Refuse(error);
    PrintRecipe(recipe);
    std::printf("%s\n", SignatureLine(recipe).c_str());
    // A location `run` could never take is refused here too; `show` opens nothing, so a file or
    // server that would refuse the records is only found by `run`.
    THistoryLocation location;
    QString problem;
    const std::string where = recipe.RecordLocation();
    if (!where.empty() && !ParseHistoryLocation(QString::fromLocal8Bit(where.c_str()), location, problem))
        return Refuse("recipe '" + ShownText(recipe.Name) + "': " + problem.toLocal8Bit().toStdString());
    const std::string mismatch = FirmwareMismatch(recipe);
    if (!mismatch.empty())
        return Refuse("recipe '" + ShownText(recipe.Name) + "': " + mismatch + "; " + RecipeRewriteRemedy(recipe));
    if (recipe.Job == TDriverJob::Upload) std::printf("The firmware matches the recipe.\n");
    return Exit::Success;
}

// The station's options from the recipe; the run's own options (output, ids, capture) from `words`.
int RunCommand(const QStringList& words, const TRawArgument& raw, const TRunJob& runJob) {
    if (words.isEmpty()) return Refuse("recipe run needs FILE.json");
    if (const QString stray = StrayOption(words.mid(1), kRunOptions); !stray.isEmpty())
        return Refuse("recipe run does not take " + Local(stray) + ": the recipe fixes it");
    TRecipe recipe;
    std::string error;
    if (!Load(raw(Local(words[0])), recipe, error)) return Refuse(error);
    // Before any port opens: the firmware must be the one the recipe pins.
    const std::string mismatch = FirmwareMismatch(recipe);
    if (!mismatch.empty())
        return Refuse("recipe '" + ShownText(recipe.Name) + "': " + mismatch + "; nothing was sent; " +
                      RecipeRewriteRemedy(recipe));
    const bool upload = recipe.Job == TDriverJob::Upload;
    QStringList job{upload ? "upload" : "factory"};
    if (upload) job << QFile::decodeName(recipe.FirmwarePath().c_str());
    TCliOptions o;
    QString parseError;
    if (ParseCommandLine(job + words.mid(1), o, parseError) != TParse::Run) return Refuse(Local(parseError));
    if (upload) o.File = recipe.FirmwarePath();  // its bytes, whatever the locale makes of them
    if (const std::string refusal = RecipeRunRefusal(recipe, o); !refusal.empty()) return Refuse(refusal);
    if (recipe.RequireUnitId && !o.Scan && o.Control.empty())
        return Refuse("recipe '" + ShownText(recipe.Name) + "' requires unit ids: give --scan (or --control)");
    return runJob(o, StationPlanOf(o, &recipe));
}

}  // namespace

int RunRecipeCommand(const QStringList& words, const TRawArgument& raw, const TRunJob& runJob) {
    const QString sub = words.value(0);
    if (words.isEmpty() || words.contains("--help") || words.contains("-h")) {
        std::fputs(RecipeUsageText().toLocal8Bit().constData(), stdout);
        return words.isEmpty() ? Exit::Usage : Exit::Success;
    }
    if (sub == "write") return WriteCommand(words.mid(1), raw);
    if (sub == "show") return ShowCommand(words.mid(1), raw);
    if (sub == "run") return RunCommand(words.mid(1), raw, runJob);
    if (sub == "sign") return SignRecipeCommand(words.mid(1), raw);
    if (sub == "verify") return VerifyRecipeCommand(words.mid(1), raw);
    return Refuse("unknown recipe command '" + Local(sub) + "' (write, show, run, sign or verify)");
}

QString RecipeUsageText() {
    return "Usage: zupflshc recipe write FILE.json upload FW [OPTIONS]\n"
           "       zupflshc recipe write FILE.json factory [OPTIONS]\n"
           "       zupflshc recipe show FILE.json\n"
           "       zupflshc recipe run FILE.json [--json] [--scan] [--yes] [--capture [PATH]] [--wait S]\n"
           "                                     [--policy FILE] [--control ADDRESS\n"
           "                                     [--control-token FILE] [--hold]]\n"
           "       zupflshc recipe sign FILE.json --key NAME.key\n"
           "       zupflshc recipe verify FILE.json --trust NAME.pub [--trust NAME.pub...]\n"
           "A recipe fixes a station's job in one file: the firmware (pinned by its\n"
           "SHA-256), the speed, the ports, the loop, the record and what every unit\n"
           "must pass. A firmware file that no longer matches is refused before any\n"
           "port opens.\n"
           "A recipe, and the firmware it names, are used only when no other user\n"
           "could have put them there: every folder on the way (links followed)\n"
           "belongs to root, to you or to the file's owner, and no one else may write\n"
           "to it (a sticky folder such as /tmp only for what you or root own in it);\n"
           "every link on the way belongs to one of them too. Otherwise the folder or\n"
           "link is named, status 2, and nothing is sent.\n"
           "\n"
           "  write   writes FILE.json from the options the job takes: --port and\n"
           "          --device (repeated), --baud, --loop, --count, --record-db,\n"
           "          --verify, --expect-version V, --require-unit-id; FW is prepared\n"
           "          as `prepare` does, in memory, for its blocks and checksum\n"
           "  show    prints the recipe and checks the firmware against it\n"
           "          (status 0 when it matches, 2 when it is missing or differs)\n"
           "  run     runs it as the station runs: the same output, summary and exit\n"
           "          statuses; every record names the recipe (and the key that signed\n"
           "          it); under a policy that requires signed recipes, a recipe not\n"
           "          signed by a key it trusts is refused before any port opens\n"
           "  sign    writes FILE.json.sig: the signature of the recipe's exact bytes\n"
           "          with the private key (zupflshc key new), which must be yours alone\n"
           "  verify  says who signed FILE.json, or why it is not approved (not signed,\n"
           "          a key not trusted, bytes changed since): status 0 or 2\n";
}
