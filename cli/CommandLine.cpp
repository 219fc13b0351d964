#include "cli/CommandLine.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/CommandLineJob.h"
#include "cli/ControlCommand.h"
#include "cli/CommandLineOptions.h"
#include "cli/CommandLineView.h"
#include "cli/HistoryCommand.h"
#include "cli/OptionsPlan.h"
#include "cli/KeyCommand.h"
#include "cli/RecipeCommand.h"
#include "cli/Station.h"
#include "host/Folders.h"
#include "host/OffLoop.h"
#include "host/Ports.h"
#include "history/RecorderSetup.h"
#include "history/ResultRecord.h"
#include "host/StopSignals.h"
#include "firmware/IntelHex.h"
#include "firmware/UploadFile.h"
#include "base/Hex.h"
#include "base/Paths.h"
#include "base/ShownText.h"

namespace {

int UsageError(const std::string& text) {
    std::fprintf(stderr, "zupflshc: %s\n", text.c_str());
    return Exit::Usage;
}


// The argument as its bytes: Qt's list has decoded it, which a name that is not valid in the
// locale's encoding does not survive (another file, whose name holds the replacement characters,
// would be opened instead).
std::string RawArgument(const std::string& parsed, int argc, char** argv) {
    if (parsed.empty()) return parsed;
    const QString wanted = QFile::decodeName(parsed.c_str());
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        for (const std::string& candidate : {arg, eq == std::string::npos ? std::string() : arg.substr(eq + 1)})
            if (!candidate.empty() && QFile::decodeName(candidate.c_str()) == wanted) return candidate;
    }
    return parsed;
}

// A name in a message: control characters and bytes that are no text shown as <XX>.
std::string Shown(const std::string& name) { return ShownText(name); }

std::string ProgramFolder() { return ResolveProgramFolder(ExecutableFolder()); }

int ListPortsCommand(const TCliOptions& options) {
    const TProgramFolder folder = ChooseProgramFolder(ExecutableFolder());
    TPortListing listing = ListPorts(folder.Path);
    listing.ProgramFolderReason = folder.Reason;
    std::fputs((options.Json ? PortListingJson(listing) : PortListingText(listing)).c_str(), stdout);
    return Exit::Success;
}

// Where the job's record goes. A record database the operator named must open before a unit is
// touched; the default one failing only costs the record, which the job's end then says.
bool MakeRecorder(const TStationPlan& plan, std::unique_ptr<TJobRecorder>& recorder, std::string& error) {
    TRecordContext context = StationContext(QStringLiteral(ZUP_VERSION));
    context.UnitId = QString::fromStdString(plan.UnitId);
    if (plan.Recipe) {
        context.Recipe = QString::fromStdString(plan.Recipe->Name);
        context.RecipeSha256 = QString::fromStdString(plan.Recipe->ContentSha256);
        context.RecipeKeyId = QString::fromStdString(plan.RecipeKeyId);
    }
    return MakeJobRecorder(plan.RecordDb, ProgramFolder(), context, recorder, error);
}

// A usb: name is looked up once, before the ports start. An adapter not attached (yet) is one port
// that does not open, waited for with --wait or --loop: its driver looks it up again at each try.
std::string ResolvedDevice(const std::string& device, TSystemPortSource& attached) {
    std::string path, error;
    return IsUsbDeviceSpec(device) && ResolveUsbDevice(device, attached, path, error) ? path : device;
}

// Two names for one device (COM 1 and its link's target, a device and a link to it) would have two
// engines fight over one unit.
bool SameDeviceTwice(const std::vector<TJobPlan>& units, const std::string& folder, std::string& error) {
    std::vector<std::string> seen;
    for (const TJobPlan& unit : units) {
        const std::string key = PortDeviceKey(folder, unit.Port, unit.Device);
        for (size_t i = 0; i < seen.size(); ++i)
            if (seen[i] == key) {
                error = units[i].Name + " and " + unit.Name + " are the same device (" + Shown(key) + ")";
                return true;
            }
        seen.push_back(key);
    }
    return false;
}

const char* FateName(TRecordFate fate) {
    switch (fate) {
    case TRecordFate::Kept: return "kept";
    case TRecordFate::KeptLocally: return "kept_locally";
    case TRecordFate::Journaled: return "journaled";
    case TRecordFate::Lost: break;
    }
    return "not_kept";
}

// A record that did not go where it was meant to, said when the writer knows, after the unit's
// result: on stderr, or as a "record" event.
void SayRecordOutcome(const TRecordOutcome& o, const std::string& unit, bool json) {
    if (o.Message.empty()) return;
    if (!json) {
        std::fprintf(stderr, "zupflshc: %s%swarning: %s\n", unit.c_str(), unit.empty() ? "" : ": ", o.Message.c_str());
        return;
    }
    const QJsonObject event{{"event", "record"}, {"unit", QString::fromStdString(unit)}, {"record_id", o.RecordId},
                            {"fate", FateName(o.Fate)}, {"text", QString::fromLocal8Bit(o.Message.c_str())}};
    std::fputs((QJsonDocument(event).toJson(QJsonDocument::Compact).toStdString() + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// A word of a command as a shell reads it back: quoted when it holds anything but the plain.
QString ShellWord(const QString& word) {
    static const QRegularExpression plain("^[A-Za-z0-9@%+=:,./_-]+$");
    if (plain.match(word).hasMatch()) return word;
    QString quoted = word;
    quoted.replace("'", "'\\''");
    return "'" + quoted + "'";
}

// The command that forwards what waits, as the operator can run it: the record's location (its
// password left to ~/.pgpass or PGPASSWORD) and the station's file when it is not the default.
QString SyncCommand(const std::string& recordDb) {
    const QString fallback = QString::fromLocal8Bit((ProgramFolder() + "history.sqlite").c_str());
    THistoryLocation location;
    QString error;
    if (recordDb.empty() || !ParseHistoryLocation(QString::fromLocal8Bit(recordDb.c_str()), location, error))
        return "zupflshc history --sync";
    QString shown = location.Display();
    if (location.Kind == THistoryLocation::TKind::Postgres && !location.Options.isEmpty())
        shown += (shown.contains('?') ? "&" : "?") + QString(location.Options).replace(';', '&');
    QString command = "zupflshc history --sync --record-db " + ShellWord(shown);
    // The command line's station file is always the program folder's, which --sync takes by default.
    if (location.Kind == THistoryLocation::TKind::Sqlite && location.Path == fallback) return "zupflshc history --sync";
    return command;
}

// The waits of the end of a run on a thread of their own, with the event loop running here: it
// hears the stop signals and the records' notices meanwhile.
TRecorderTally DrainRecords(TJobRecorder& recorder, std::chrono::milliseconds limit, TStopSignals& stops) {
    std::atomic<bool> stopped{false};
    const int subscription = stops.Subscribe([&](int) { stopped = true; });
    QEventLoop loop;
    {
        TOffLoop drain(&loop);
        drain.Run([&recorder, &stopped, limit] {
            recorder.Drain(limit, [&stopped] { return stopped.load(); });
            return true;
        }, [&loop](bool) { loop.quit(); });
        loop.exec();
    }
    stops.Unsubscribe(subscription);
    return recorder.Settle();
}

// The end of the run: what is queued is written, within a bounded time (a stop signal cuts it
// short: the rest goes to the local file at once). A unit that was loaded but whose record nothing
// could keep ends with a status of its own.
int FinishRecords(TJobRecorder& recorder, int status, const TCliOptions& options, const std::string& recordDb) {
    const bool json = options.Json;
    TStopSignals stops;
    // A run that was stopped is not kept waiting on a server's connection: what the server has not
    // taken in half a second goes to the local file.
    const bool stopped = status == Exit::Interrupted || status == StopStatus(SIGHUP);
    const auto limit = stopped ? std::chrono::milliseconds(500) : TJobRecorder::kFinishLimit;
    const TRecorderTally tally = DrainRecords(recorder, limit, stops);
    const QString sync = SyncCommand(recordDb);
    if (tally.Waiting > 0 && !json)
        std::fprintf(stderr, "zupflshc: %d %s to be forwarded to the record server (%s)\n", tally.Waiting,
                     tally.Waiting == 1 ? "record waits" : "records wait", sync.toLocal8Bit().constData());
    if (tally.Backlog.SetAside > 0 && !json)
        std::fprintf(stderr, "zupflshc: %s", tally.Backlog.Text().toLocal8Bit().constData());
    if (tally.Waiting > 0 && json) {
        const QJsonObject event{{"event", "records_waiting"}, {"count", tally.Waiting}, {"command", sync}};
        std::fputs((QJsonDocument(event).toJson(QJsonDocument::Compact).toStdString() + "\n").c_str(), stdout);
    }
    if (stops.Received() != 0 && status == Exit::Success) return StopStatus(stops.Received());
    return tally.Lost > 0 && status == Exit::Success ? Exit::NotRecorded : status;
}

int RunJob(const TCliOptions& options, const TStationPlan& plan) {
    std::string error;
    // A recipe's run has been judged by its signature; a job of bare options answers to the policy here.
    if (plan.Job != TDriverJob::Prepare && !plan.Recipe)
        if (const std::string refusal = UnsignedJobRefusal(options.PolicyPath); !refusal.empty()) return UsageError(refusal);
    const bool factory = plan.Job == TDriverJob::Factory;
    if (factory && !plan.AutoGoOn && !::isatty(STDIN_FILENO))
        return UsageError("factory waits for Enter on a terminal; give --yes to go on without it");
    if (factory && !plan.AutoGoOn && plan.Ports.size() > 1)
        return UsageError("factory on several ports needs --yes: one Enter cannot speak for every unit");
    if (!plan.UnitId.empty() && plan.Station())
        return UsageError("--unit-id names one unit: with several ports or --loop, give ids with --scan");
    if (options.Scan && !plan.Station())
        return UsageError("--scan gives ids to several units (several ports or --loop); one unit's is --unit-id");
    if (plan.RequireUnitId && !options.Scan && plan.UnitId.empty() && options.Control.empty())
        return UsageError("--require-unit-id needs the ids: give --scan (or --unit-id for one unit)");
    if (!options.Control.empty() && !plan.Station())
        return UsageError("--control drives a station: several ports, --loop or a recipe");
    if (options.Scan && factory && !plan.AutoGoOn)
        return UsageError("--scan reads standard input, where factory waits for Enter: give --yes with it");
    if (!factory && !CheckFirmwareFile(options.File, error)) return UsageError(error);
    const std::string folder = ProgramFolder();
    TSystemPortSource attached;
    std::vector<TJobPlan> units =
        PortPlans(plan, {}, folder, [&](const std::string& device) { return ResolvedDevice(device, attached); });
    if (SameDeviceTwice(units, folder, error)) return UsageError(error);
    // A reader that goes away must not end an upload half way: output is dropped instead.
    std::signal(SIGPIPE, SIG_IGN);
    const auto mode = options.Json ? TCliView::TMode::Json
                      : ::isatty(STDOUT_FILENO) ? TCliView::TMode::Terminal
                                                : TCliView::TMode::Pipe;
    std::unique_ptr<TJobRecorder> recorder;
    if (plan.Job != TDriverJob::Prepare && !MakeRecorder(plan, recorder, error)) return UsageError(error);
    TCliStation station(plan, std::move(units), options.Scan, folder, mode);
    station.SetControl({options.Control, options.ControlToken, options.Hold});
    TCachedPortSource ports(std::make_unique<TSystemPortSource>());
    if (recorder)
        station.OnStoreRecord = [&](const TJobResult& result, const std::string& unit, const std::string& runId,
                                    TJobDriver::TStored stored) {
            recorder->Context().RunId = QString::fromStdString(runId);
            const QString id = recorder->Keep(
                result, &ports, [unit, json = options.Json](const TRecordOutcome& o) { SayRecordOutcome(o, unit, json); },
                [stored = std::move(stored)](const TRecordOutcome& o) { stored(RecordNotKept(o)); });
            return id.toStdString();
        };
    const int status = station.Run();
    return recorder ? FinishRecords(*recorder, status, options, plan.RecordDb) : status;
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Qt leaves the numeric locale at "C"; the estimate follows the operator's.
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "");
    // The short name makes the per-user data folder ~/.local/share/zupflshc, as for the window.
    QCoreApplication::setApplicationName("zupflshc");
    QCoreApplication::setApplicationVersion(ZUP_VERSION);

    // history reads the record and takes options of its own; the rest are the jobs' commands.
    const QStringList words = QCoreApplication::arguments().mid(1);
    if (!words.isEmpty() && words.first() == "history")
        return RunHistoryCommand(words.mid(1), ProgramFolder() + "history.sqlite");
    if (!words.isEmpty() && words.first() == "key")
        return RunKeyCommand(words.mid(1), [&](const std::string& parsed) { return RawArgument(parsed, argc, argv); });
    if (!words.isEmpty() && words.first() == "control") return RunControlCommand(words.mid(1));
    if (!words.isEmpty() && words.first() == "recipe")
        return RunRecipeCommand(words.mid(1), [&](const std::string& parsed) { return RawArgument(parsed, argc, argv); },
                                RunJob);

    TCliOptions options;
    QString error;
    switch (ParseCommandLine(QCoreApplication::arguments().mid(1), options, error)) {
    case TParse::Help: std::fputs(UsageText().toLocal8Bit().constData(), stdout); return Exit::Success;
    case TParse::Version: std::printf("zupflshc %s\n", ZUP_VERSION); return Exit::Success;
    case TParse::Fail: return UsageError(error.toLocal8Bit().toStdString());
    case TParse::Run: break;
    }
    if (options.Command == TCommand::Ports) return ListPortsCommand(options);
    for (std::string* name : {&options.File, &options.Device, &options.CapturePath, &options.RecordDb})
        *name = RawArgument(*name, argc, argv);
    // The ports are what is opened: each one's bytes as given, not their re-encoding.
    for (TCliOptions::TPortChoice& choice : options.Ports) choice.Device = RawArgument(choice.Device, argc, argv);
    return RunJob(options, StationPlanOf(options));
}
