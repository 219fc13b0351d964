#include "cli/HistoryCommand.h"

#include <QCommandLineParser>
#include <QFile>
#include <cstdio>

#include "cli/CommandLineOptions.h"
#include "history/FileDigest.h"
#include "history/HistoryFormat.h"
#include "history/HistoryStore.h"

namespace {

enum class TFormat { Table, Csv, Json, Summary };

struct THistoryRequest {
    THistoryLocation Location;
    THistoryFilter Filter;
    TFormat Format = TFormat::Table;
};

QString KindList() {
    QStringList kinds;
    for (const char* kind : kResultKinds) kinds << kind;
    return kinds.join(", ");
}

bool ParseFormat(const QCommandLineParser& p, TFormat& format, QString& error) {
    const int chosen = int(p.isSet("csv")) + int(p.isSet("json")) + int(p.isSet("summary"));
    if (chosen > 1) {
        error = "history takes one of --csv, --json and --summary";
        return false;
    }
    format = p.isSet("csv") ? TFormat::Csv : p.isSet("json") ? TFormat::Json
             : p.isSet("summary")                            ? TFormat::Summary
                                                             : TFormat::Table;
    return true;
}

bool ParseFilter(const QCommandLineParser& p, THistoryFilter& f, QString& error) {
    if (p.isSet("since") && !ParseLowerTimeBound(p.value("since"), f.Since)) {
        error = QString("--since must be a date (2026-01-05) or a date and time (2026-01-05 14:30), not '%1'")
                    .arg(p.value("since"));
        return false;
    }
    if (p.isSet("until") && !ParseUpperTimeBound(p.value("until"), f.Before)) {
        error = QString("--until must be a date (2026-01-05) or a date and time (2026-01-05 14:30), not '%1'")
                    .arg(p.value("until"));
        return false;
    }
    if (p.isSet("limit")) {
        bool ok = false;
        f.Limit = p.value("limit").toInt(&ok);
        if (!ok || f.Limit < 1 || p.value("limit") != QString::number(f.Limit)) {
            error = QString("--limit must be a whole number from 1, not '%1'").arg(p.value("limit"));
            return false;
        }
    }
    if (p.isSet("result")) {
        f.Result = p.value("result");
        if (!IsResultKind(f.Result)) {
            error = QString("--result must be one of %1, not '%2'").arg(KindList(), f.Result);
            return false;
        }
    }
    f.UnitId = p.value("unit");
    if (p.isSet("file") && !FileSha256(p.value("file"), f.InputSha256, error)) return false;
    return true;
}

// Parses the words after "history"; false with `error` for bad usage. `help` asks for the usage.
bool ParseRequest(const QStringList& args, const std::string& defaultDb, THistoryRequest& request, bool& help,
                  QString& error) {
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    p.addOptions({{"record-db", "", "LOC"}, {"since", "", "DATE"}, {"until", "", "DATE"}, {"unit", "", "ID"},
                  {"file", "", "PATH"}, {"result", "", "KIND"}, {"limit", "", "N"}, {"csv", ""}, {"json", ""},
                  {"summary", ""}, {{"h", "help"}, ""}});
    if (!p.parse(QStringList{"zupflshc"} + args)) {
        error = "history: " + p.errorText();
        return false;
    }
    help = p.isSet("help");
    if (help) return true;
    if (!p.positionalArguments().isEmpty()) {
        error = QString("history takes no '%1' (its file is --file PATH)").arg(p.positionalArguments().first());
        return false;
    }
    const QString location = p.isSet("record-db") ? p.value("record-db") : QFile::decodeName(defaultDb.c_str());
    return ParseHistoryLocation(location, request.Location, error) && ParseFormat(p, request.Format, error) &&
           ParseFilter(p, request.Filter, error);
}

void Print(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

int Fail(int status, const QString& text) {
    std::fprintf(stderr, "zupflshc: %s\n", text.toLocal8Bit().constData());
    return status;
}

}  // namespace

int RunHistoryCommand(const QStringList& args, const std::string& defaultDb) {
    THistoryRequest request;
    bool help = false;
    QString error;
    if (!ParseRequest(args, defaultDb, request, help, error)) return Fail(Exit::Usage, error);
    if (help) {
        Print(HistoryUsageText());
        return Exit::Success;
    }
    TStoreOptions options;
    options.ReadOnly = true;
    const auto store = THistoryStore::Open(request.Location, error, options);
    if (!store) return Fail(Exit::Failed, error);
    THistorySummary summary;
    if (request.Format == TFormat::Table) Print(TableHeader());
    if (request.Format == TFormat::Csv) Print(CsvHeader());
    const bool read = store->Query(request.Filter, [&](const TJobRecord& r) {
        switch (request.Format) {
        case TFormat::Table: Print(TableLine(r)); break;
        case TFormat::Csv: Print(CsvLine(r)); break;
        case TFormat::Json: Print(JsonLine(r)); break;
        case TFormat::Summary: summary.Add(r); break;
        }
    }, error);
    if (request.Format == TFormat::Summary) Print(summary.Text());
    std::fflush(stdout);
    return read ? Exit::Success : Fail(Exit::Failed, error);
}

QString HistoryUsageText() {
    return "Usage: zupflshc history [OPTIONS]\n"
           "Shows the production record, newest first: one line per job.\n"
           "\n"
           "Options:\n"
           "  --record-db LOC   read LOC: a SQLite file or postgresql://user@host[:port]/db\n"
           "                    (default: history.sqlite in the program folder)\n"
           "  --since DATE      jobs from DATE on: 2026-01-05, or 2026-01-05 14:30 local time\n"
           "  --until DATE      jobs up to DATE (a date: to the end of that day)\n"
           "  --unit ID         jobs of the unit ID (as given with --unit-id)\n"
           "  --file PATH       jobs that loaded the firmware file PATH (by its SHA-256)\n"
           "  --result KIND     jobs that ended in KIND: verified, sent, not_verified,\n"
           "                    checksums_different, unit_failed, timeout, port_failed,\n"
           "                    file_failed, factory_complete or interrupted\n"
           "  --limit N         the newest N jobs only\n"
           "  --csv             CSV with a header row (RFC 4180)\n"
           "  --json            one JSON object per line\n"
           "  --summary         per day and station: units, loaded, verified, failed and why\n"
           "  -h, --help        show this help and exit\n";
}
