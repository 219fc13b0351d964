#include "cli/CommandLineOptions.h"

#include <QCommandLineParser>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "base/ShownText.h"
#include "driver/UnitIds.h"
#include "firmware/UploadFile.h"
#include "history/HistoryLocation.h"

namespace {

const QStringList kValued = {"--port",      "--device",  "--baud",   "--tick-ms",       "--count",
                             "--wait",      "--record-db", "--unit-id", "--expect-version",
                             "--pause-after-failures", "--policy"};

bool IsOptionWord(const QString& word) { return word.size() > 1 && word.startsWith('-'); }

// The parser takes long options with one dash too ("-port 3"): the same option as "--port 3".
QString LongForm(const QString& word) {
    return word.size() > 2 && word.startsWith('-') && !word.startsWith("--") ? "-" + word : word;
}

// The words that are neither options nor the values of options: the command and its FILE.
int PositionalCount(const QStringList& args) {
    int count = 0;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--") return count + static_cast<int>(args.size() - i - 1);
        if (kValued.contains(LongForm(args[i]))) ++i;
        else if (!IsOptionWord(args[i])) ++count;
    }
    return count;
}

// QCommandLineParser has no option whose value may be left out. "--capture" alone becomes
// "--capture=", and the word after it becomes its value unless that word is the FILE the command
// still needs: "upload --capture fw.h86" uploads fw.h86 and captures to Capture.txt.
QStringList JoinCaptureValue(QStringList args) {
    for (qsizetype i = 0; i < args.size() && args[i] != "--"; ++i) {
        if (kValued.contains(LongForm(args[i]))) {
            ++i;
            continue;
        }
        if (LongForm(args[i]) != "--capture") continue;
        QString value;
        if (i + 1 < args.size() && !IsOptionWord(args[i + 1]) && args[i + 1] != "--") {
            QStringList without = args;
            without.removeAt(i + 1);
            const QString command = without.isEmpty() ? QString() : without.first();
            const int needed = (command == "upload" || command == "prepare") ? 2 : 1;
            if (PositionalCount(without) >= needed) {
                value = args[i + 1];
                args.removeAt(i + 1);
            }
        }
        args[i] = "--capture=" + value;
    }
    return args;
}

// Which options each command takes, and how many words follow the command.
struct TCommandRule {
    const char* Name;
    TCommand Command;
    int Files;
    QStringList Options;
};

const TCommandRule kRules[] = {
    {"upload", TCommand::Upload, 1,
     {"port", "device", "baud", "capture", "json", "tick-ms", "loop", "count", "wait", "record-db", "unit-id",
      "verify", "expect-version", "scan", "require-unit-id", "pause-after-failures", "policy", "control",
      "control-token", "hold"}},
    {"factory", TCommand::Factory, 0,
     {"port", "device", "yes", "capture", "json", "tick-ms", "loop", "count", "wait", "record-db", "unit-id", "scan",
      "require-unit-id", "pause-after-failures", "policy", "control", "control-token", "hold"}},
    {"prepare", TCommand::Prepare, 1, {"json"}},
    {"ports", TCommand::Ports, 0, {"json"}},
    // The station window: its FILE (firmware, or a recipe) may be chosen in the window instead.
    {"station", TCommand::Station, 1,
     {"port", "device", "baud", "capture", "tick-ms", "count", "record-db", "verify", "expect-version", "require-unit-id",
      "pause-after-failures", "policy", "control", "control-token", "hold"}},
};

bool WholeNumber(const QString& text, int low, int high, int& value) {
    bool ok = false;
    value = text.toInt(&ok);
    return ok && text == QString::number(value) && value >= low && value <= high;
}

// What every unit must pass, and where its id comes from.
bool CheckUnitChecks(const QCommandLineParser& p, TCliOptions& o, QString& error) {
    o.Verify = p.isSet("verify");
    o.Scan = p.isSet("scan");
    o.RequireUnitId = p.isSet("require-unit-id");
    o.Control = QFile::encodeName(p.value("control")).toStdString();
    o.ControlToken = QFile::encodeName(p.value("control-token")).toStdString();
    o.Hold = p.isSet("hold");
    if ((o.Hold || !o.ControlToken.empty()) && o.Control.empty()) {
        error = o.Hold ? "--hold waits for the control's start: give --control" : "--control-token goes with --control tcp:HOST:PORT";
        return false;
    }
    const QString version = p.value("expect-version");
    if (p.isSet("expect-version") && (version.trimmed().isEmpty() || version.size() > 64)) {
        error = "--expect-version needs the version the unit reports (SWR=), as 2.14";
        return false;
    }
    for (const QChar c : version)
        if (c.category() == QChar::Other_Control) {
            error = "--expect-version must not hold control characters";
            return false;
        }
    o.ExpectVersion = version.toStdString();
    return true;
}

// A record database with an unknown scheme is refused now, not when the job has already ended.
bool CheckRecordValues(const QCommandLineParser& p, TCliOptions& o, QString& error) {
    THistoryLocation location;
    if (p.isSet("record-db") && !ParseHistoryLocation(p.value("record-db"), location, error)) return false;
    o.RecordDb = QFile::encodeName(p.value("record-db")).toStdString();
    const QString unit = p.value("unit-id");
    if (p.isSet("unit-id") && unit.trimmed().isEmpty()) {
        error = "--unit-id needs the unit's id";
        return false;
    }
    // The id a scanner or a tile would take, and no other.
    if (const std::string refusal = UnitIdRefusal(unit.toStdString()); !refusal.empty()) {
        error = "--unit-id: " + QString::fromStdString(refusal);
        return false;
    }
    o.UnitId = unit.toStdString();
    return CheckUnitChecks(p, o, error);
}

// Every --port and --device in the order given: the order the station shows its units in.
bool CheckPorts(const QStringList& args, TCliOptions& o, QString& error) {
    for (qsizetype i = 0; i < args.size() && args[i] != "--"; ++i) {
        const QString name = OptionName(args[i]);
        const bool joined = args[i].contains('=');
        if (name.isEmpty() || !kValued.contains("--" + name)) continue;
        const QString value = joined ? args[i].mid(args[i].indexOf('=') + 1) : i + 1 < args.size() ? args[++i] : QString();
        TCliOptions::TPortChoice choice;
        if (name == "port" && !WholeNumber(value, 1, 9, choice.Port)) {
            error = QString("--port must be 1 to 9, not '%1'").arg(value);
            return false;
        }
        if (name == "device") {
            choice.Device = QFile::encodeName(value).toStdString();
            if (choice.Device.empty()) {
                error = "--device needs a device path";
                return false;
            }
        }
        if (name != "port" && name != "device") continue;
        for (const TCliOptions::TPortChoice& c : o.Ports)
            if (c.Port == choice.Port && c.Device == choice.Device) {
                error = QString("%1 %2 is given twice").arg("--" + name, value);
                return false;
            }
        o.Ports.push_back(choice);
    }
    // The station window starts without ports when none is given: the operator adds them.
    if (o.Ports.empty() && o.Command != TCommand::Station) o.Ports.push_back({1, {}});
    if (o.Ports.empty()) return true;
    o.Port = o.Ports.front().Port ? o.Ports.front().Port : 1;
    o.Device = o.Ports.front().Device;
    return true;
}

// --loop, --count and --wait: how a station goes on.
bool CheckStation(const QCommandLineParser& p, TCliOptions& o, QString& error) {
    o.Loop = p.isSet("loop");
    if (p.isSet("count") && !o.Loop && o.Command != TCommand::Station) {
        error = "--count needs --loop";
        return false;
    }
    if (p.isSet("count") && !WholeNumber(p.value("count"), 1, 1000000, o.Count)) {
        error = QString("--count must be a number of units from 1, not '%1'").arg(p.value("count"));
        return false;
    }
    if (p.isSet("wait") && !WholeNumber(p.value("wait"), 0, 86400, o.WaitSeconds)) {
        error = QString("--wait must be 0 to 86400 seconds, not '%1'").arg(p.value("wait"));
        return false;
    }
    if (p.isSet("pause-after-failures") && !WholeNumber(p.value("pause-after-failures"), 0, 1000, o.PauseAfterFailures)) {
        error = QString("--pause-after-failures must be 0 (never) to 1000 units, not '%1'").arg(p.value("pause-after-failures"));
        return false;
    }
    return true;
}

// The values themselves; the option set has been checked against the command.
bool CheckValues(const QCommandLineParser& p, const QStringList& args, TCliOptions& o, QString& error) {
    if (!CheckPorts(args, o, error) || !CheckStation(p, o, error)) return false;
    if (p.isSet("baud") && (!WholeNumber(p.value("baud"), 0, 1000000, o.Baud) || (o.Baud != 38400 && o.Baud != 57600))) {
        error = QString("--baud must be 38400 or 57600, not '%1'").arg(p.value("baud"));
        return false;
    }
    if (p.isSet("tick-ms") && !WholeNumber(p.value("tick-ms"), 1, 1000, o.TickMs)) {
        error = QString("--tick-ms must be 1 to 1000, not '%1'").arg(p.value("tick-ms"));
        return false;
    }
    if (!CheckRecordValues(p, o, error)) return false;
    o.Capture = p.isSet("capture");
    o.CapturePath = QFile::encodeName(p.value("capture")).toStdString();
    o.Json = p.isSet("json");
    o.Yes = p.isSet("yes");
    o.PolicyPath = QFile::encodeName(p.value("policy")).toStdString();
    if (p.isSet("policy") && o.PolicyPath.empty()) {
        error = "--policy needs the policy file";
        return false;
    }
    return true;
}

// An option nobody knows, named as it was typed.
QString UnknownOption(const QCommandLineParser& p, const QStringList& args) {
    const QString name = p.unknownOptionNames().value(0);
    QString typed = "--" + name;
    for (const QString& word : args)
        if (OptionName(word) == name) typed = word.left(word.indexOf('='));
    return QString("unknown option '%1' (see zupflshc --help)").arg(typed);
}

}  // namespace

QString OptionName(const QString& word) {
    if (!IsOptionWord(word) || word == "--") return {};
    QString name = word.mid(word.startsWith("--") ? 2 : 1);
    return name.left(name.indexOf('='));
}

// The firmware file is checked before anything is opened or written: it must be a readable file
// whose extension the engine knows.
bool CheckFirmwareFile(const std::string& path, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || ::access(path.c_str(), R_OK) != 0) {
        error = "cannot open '" + ShownText(path) + "': " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "'" + ShownText(path) + "' is not a file";
        return false;
    }
    const TInputNames names = SplitInputFileName(path);
    if (InputKind(names.InputExt) == TInputKind::Unknown) {
        error = "Unexpected file extension (" + ShownText(names.InputExt) + ") of '" + ShownText(path) + "': use " +
                AcceptedExtensionsText();
        return false;
    }
    return true;
}

TParse ParseCommandLine(const QStringList& arguments, TCliOptions& options, QString& error) {
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QCommandLineOption tick("tick-ms", "", "MS");
    tick.setFlags(QCommandLineOption::HiddenFromHelp);
    p.addOptions({{"port", "", "N"}, {"device", "", "PATH"}, {"baud", "", "RATE"}, {"capture", "", "PATH"},
                  {"json", ""}, {"yes", ""}, {"record-db", "", "LOC"}, {"unit-id", "", "TEXT"},
                  {{"h", "help"}, ""}, {"version", ""}, tick});
    p.addOptions({{"loop", ""}, {"count", "", "N"}, {"wait", "", "SECONDS"}});
    p.addOptions({{"verify", ""}, {"expect-version", "", "V"}, {"scan", ""}, {"require-unit-id", ""},
                  {"pause-after-failures", "", "N"}});
    p.addOption({"policy", "", "FILE"});
    p.addOptions({{"control", "", "ADDRESS"}, {"control-token", "", "FILE"}, {"hold", ""}});
    const QStringList args = JoinCaptureValue(arguments);
    if (!p.parse(QStringList{"zupflshc"} + args)) {
        error = p.unknownOptionNames().isEmpty() ? p.errorText() : UnknownOption(p, args);
        return TParse::Fail;
    }
    if (p.isSet("help")) return TParse::Help;
    if (p.isSet("version")) return TParse::Version;
    const QStringList words = p.positionalArguments();
    if (words.isEmpty()) {
        error = "no command given (upload, factory, prepare, ports, history, recipe, key or station)";
        return TParse::Fail;
    }
    const TCommandRule* rule = nullptr;
    for (const TCommandRule& r : kRules)
        if (words.first() == r.Name) rule = &r;
    if (!rule) {
        error = QString("unknown command '%1' (upload, factory, prepare, ports, history, recipe, key or station)").arg(words.first());
        return TParse::Fail;
    }
    for (const QString& name : p.optionNames()) {
        if (!rule->Options.contains(name)) {
            error = QString("%1 does not take --%2").arg(rule->Name, name);
            return TParse::Fail;
        }
    }
    const bool fileLeftOut = rule->Command == TCommand::Station && words.size() == 1;
    if (words.size() - 1 != rule->Files && !fileLeftOut) {
        error = rule->Files == 0 ? QString("%1 takes no file").arg(rule->Name)
                                 : QString("%1 needs one FILE").arg(rule->Name);
        return TParse::Fail;
    }
    options.Command = rule->Command;
    if (rule->Files) options.File = QFile::encodeName(words[1]).toStdString();
    return CheckValues(p, args, options, error) ? TParse::Run : TParse::Fail;
}

const std::vector<TOptionHelp>& OptionHelp() {
    static const std::vector<TOptionHelp> help = {
        {"--port N", "COM port 1 to 9 (default 1)"},
        {"--device PATH", "open the serial device PATH instead of a COM port;\n"
                          "usb:SERIAL names a USB adapter by its serial number,\n"
                          "usb:VID:PID by its kind when only one is attached;\n"
                          "upload and factory take --port and --device more\n"
                          "than once: every port loads its own unit, all at once"},
        {"--loop", "upload, factory: when a unit is done, each port waits\n"
                   "for the next one, until Ctrl-C"},
        {"--count N", "with --loop, and station: stop after N units on each port"},
        {"--wait SECONDS", "upload, factory: wait up to SECONDS for a port that is\n"
                           "not there yet (an adapter still to be plugged in)"},
        {"--baud RATE", "upload speed, 38400 (default) or 57600"},
        {"--capture [PATH]", "record the conversation with the unit in PATH, or in\n"
                             "Capture.txt in the program folder"},
        {"--json", "print one JSON object a line instead of text: an event\n"
                   "of the job, or (ports) the folder, a COM port, a device"},
        {"--yes", "factory: go on without waiting for Enter"},
        {"--record-db LOC", "keep the job's record in LOC, a SQLite file or\n"
                            "postgresql://user@host[:port]/db (default:\n"
                            "history.sqlite in the program folder)"},
        {"--unit-id TEXT", "the unit's id (serial number) for its record; one\n"
                           "unit only (for several, --scan)"},
        {"--verify", "upload, station: verify every unit after its restart\n"
                     "(its version and checksum), whatever the file's size;\n"
                     "without it only uploads of 2000 blocks or more"},
        {"--expect-version V", "upload, station: the software version every unit\n"
                               "must report after its restart (SWR=V); another\n"
                               "fails the unit as version_different"},
        {"--scan", "several ports or --loop: read unit ids from standard\n"
                   "input, a line \"PORT ID\" each (a barcode scanner),\n"
                   "for that port's next unit; an id is used once a run"},
        {"--require-unit-id", "wake no unit before it has its id (with --scan,\n"
                              "or scanned into the station window)"},
        {"--pause-after-failures N", "several ports or --loop: a port whose last N units\n"
                                     "failed in a row wakes no other unit until a line\n"
                                     "\"PORT resume\" on --scan input, or the tile's Resume\n"
                                     "(default 3; 0 never)"},
 {"--control ADDRESS", "several ports, --loop or station: listen at unix:PATH (or\n"
                               "tcp:HOST:PORT) for the line's software, one JSON\n"
                               "request a line: status, start, stop, pause, resume,\n"
                               "unit_id, subscribe (see zupflshc control --help)"},
        {"--control-token FILE", "with --control tcp:, the token (a file of yours,\n"
                                 "mode 0600) a client must give in its first request"},
        {"--hold", "with --control: the ports wait for the request start\n"
                   "(without it the station window starts by itself)"},
        {"--policy FILE", "the station's policy FILE instead of\n"
                          "/etc/zupflshc/policy.json: the keys it trusts, and\n"
                          "whether it loads signed recipes only; it and its keys\n"
                          "must be root's or yours, writable by no one else"},
        {"-h, --help", "show this help and exit"},
        {"--version", "show the version and exit"},
    };
    return help;
}

std::vector<TCommandUsage> CommandUsage() {
    std::vector<TCommandUsage> usage;
    for (const TCommandRule& rule : kRules) {
        TCommandUsage u{rule.Name, rule.Files > 0, {}};
        for (const QString& name : rule.Options) u.Options << "--" + name;
        usage.push_back(u);
    }
    return usage;
}

QString UsageText() {
    QString options;
    for (const TOptionHelp& o : OptionHelp()) {
        const QStringList lines = QString(o.Text).split('\n');
        options += QString("  %1 %2\n").arg(QString(o.Option).leftJustified(17), lines.front());
        for (qsizetype i = 1; i < lines.size(); ++i) options += QString(20, ' ') + lines[i] + '\n';
    }
    return "Usage: zupflshc [COMMAND [FILE] [OPTIONS]]\n"
           "Loads firmware into a Norvane MXR-2 rack unit over RS-232.\n"
           "Without a command it opens its window.\n"
           "\n"
           "Commands:\n"
           "  upload FILE       prepare FILE (.h86, .mcs, .bin or .zup) and run the\n"
           "                    Software Upload, verification included\n"
           "  factory           run the Factory Bootstrap Upload\n"
           "  prepare FILE      prepare FILE only: block count, checksum, files written\n"
           "  ports             list COM1 to COM9 and the serial devices present, who\n"
           "                    holds them and what keeps this user from opening them\n"
           "  history           show the record of past jobs (history --help)\n"
           "  recipe            write, show or run a station's recipe: the firmware\n"
           "                    pinned, the ports and checks fixed (recipe --help);\n"
           "                    sign it, or check who signed it\n"
           "  key               make an engineer's signing key, or show a key's id\n"
           "                    (key --help)\n"
           "  control ADDRESS   ask a station started with --control: status, start,\n"
           "                    stop, pause, resume, unit_id, subscribe (control --help)\n"
           "  station [FILE]    open the station window: one tile per port, each port\n"
           "                    on to its next unit by itself; FILE is the firmware\n"
           "                    or a recipe (.json) that fixes file and ports\n"
           "\n"
           "Options:\n" +
           options +
           "\n"
           "Exit status: 0 success, 1 the upload failed, 2 bad usage or a file that\n"
           "cannot be prepared, 3 the port did not open, 4 loaded, but no record of it\n"
           "could be kept anywhere, 130 interrupted (129 when the terminal closed).\n"
           "With several ports: 0 when every unit succeeded, else 1 when any unit\n"
           "failed, else 3 when a port did not open, else 4 when a record was lost.\n";
}
