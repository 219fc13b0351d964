// What the command line was asked to do: the command, its file and options, checked before anything
// is opened or written, and the usage text that `--help` prints and the README quotes.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "driver/EventJson.h"  // the exit statuses

enum class TCommand { Upload, Factory, Prepare, Ports, Station };


// A station's ports pause after this many failures in a row unless told otherwise.

struct TCliOptions {
    TCommand Command = TCommand::Ports;
    std::string File;         // upload and prepare: the firmware file as given
    int Port = 1;             // COM n
    std::string Device;       // a device opened directly instead of COM n; "" = COM n
    int Baud = 38400;
    bool Capture = false;
    std::string CapturePath;  // "" = Capture.txt in the program folder
    bool Json = false;
    bool Yes = false;
    std::string RecordDb;     // where the job's record is kept; "" = history.sqlite in the program folder
    std::string UnitId;       // the operator's id of the unit, for its record; "" = none
    bool Verify = false;      // every upload verified after the unit's restart, whatever its size
    std::string ExpectVersion;  // the software version each unit must report, "" = any
    bool Scan = false;        // unit ids come from standard input, "PORT ID" a line
    bool RequireUnitId = false;  // no unit is woken before it has its id
    // ---- a recipe's run ----
    std::string RecipeKeyId;    // the id of the key whose valid signature the recipe carries, "" for none
    std::string PolicyPath;     // the station's policy as given with --policy; "" = the system's
    // ---- the station's control socket ----
    std::string Control;        // unix:PATH or tcp:HOST:PORT, "" for none
    std::string ControlToken;   // the file of the token a TCP client must give first
    bool Hold = false;          // the ports wait for the control's `start`
    // The engine counts every limit in ticks; tests shorten them to run the slow waits quickly.
    int TickMs = 50;

    // ---- a station: several ports, one unit after another ----
    // Every --port and --device in the order given; Port and Device above are the first of them.
    struct TPortChoice {
        int Port = 0;        // COM n, 0 when Device is given
        std::string Device;  // as given
    };
    std::vector<TPortChoice> Ports;
    bool Loop = false;    // each port goes on to the next unit when one ends
    int Count = 0;        // --loop: units per port, 0 = until stopped
    int WaitSeconds = 0;  // how long a port that is not there yet is waited for
    // A port pauses after this many units in a row failed, until "PORT resume" (--scan); 0 never.
    // -1 until set: a station's default (kStationPauseAfterFailures), else 0.
    int PauseAfterFailures = -1;
};

enum class TParse { Run, Help, Version, Fail };

// The option's name in a word of the command line ("--port=3", "-port" give "port"), "" for a word
// that is not an option.
QString OptionName(const QString& word);

// The firmware file is checked before anything is opened or written: it must be a readable file
// whose extension the engine knows. False with `error`, the line to print.
bool CheckFirmwareFile(const std::string& path, std::string& error);

// `arguments` without the program's name. On Fail, `error` is the one line to print.
TParse ParseCommandLine(const QStringList& arguments, TCliOptions& options, QString& error);
QString UsageText();

// Every option as --help lists it: the option with its value ("--capture [PATH]"), and its help in
// lines as --help wraps them. The manual page's options are made from the same table at build time.
struct TOptionHelp {
    const char* Option;
    const char* Text;
};
const std::vector<TOptionHelp>& OptionHelp();
// Each command, whether it takes a FILE, and the options it takes ("--port"): the manual's synopsis.
struct TCommandUsage {
    QString Name;
    bool TakesFile = false;
    QStringList Options;
};
std::vector<TCommandUsage> CommandUsage();
