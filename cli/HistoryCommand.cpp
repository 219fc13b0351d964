#include "cli/HistoryCommand.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "cli/CommandLineOptions.h"
#include "history/FileDigest.h"
#include "history/HistoryFormat.h"
#include "history/HistoryGroups.h"
#include "history/HistoryStore.h"
#include "history/RecordKeeping.h"
#include "host/StopSignals.h"

namespace {

enum class TFormat { Table, Csv, Json, Summary };
enum class TGroupFormat { Table, Csv, Json };
enum class TAction { Show, Follow, Sync };

struct THistoryRequest {
    THistoryLocation Location;
    THistoryFilter Filter;
    TFormat Format = TFormat::Table;
    TAction Action = TAction::Show;
    QString LocalPath;  // --sync: the station's own file whose waiting records go to the location
    std::vector<TGroupKey> By;  // --summary --by: the groups, none for the plain summary
    TGroupFormat GroupFormat = TGroupFormat::Table;
};

QString KindList() { return RecordedKinds().join(", "); }

// --summary --by KEYS, as a table, --csv or --json.
bool ParseGroups(const QCommandLineParser& p, THistoryRequest& request, QString& error) {
    if (!p.isSet("summary")) {
        error = "--by needs --summary";
        return false;
    }
    if (p.isSet("csv") && p.isSet("json")) {
        error = "history --summary --by takes one of --csv and --json";
        return false;
    }
    request.Format = TFormat::Summary;
    request.GroupFormat = p.isSet("csv") ? TGroupFormat::Csv : p.isSet("json") ? TGroupFormat::Json : TGroupFormat::Table;
    return ParseGroupKeys(p.value("by"), request.By, error);
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
    f.Recipe = p.value("recipe");
    f.SignedBy = p.value("signed-by");
    if (p.isSet("signed-by") && (f.SignedBy.size() != 16 || !QRegularExpression("^[0-9a-fA-F]+$").match(f.SignedBy).hasMatch())) {
        error = QString("--signed-by must be a key id of 16 hexadecimal digits (zupflshc key show), not '%1'").arg(f.SignedBy);
        return false;
    }
    if (p.isSet("file") && !FileSha256(p.value("file"), f.InputSha256, error)) return false;
    return true;
}

}  // namespace

QList<QCommandLineOption> HistoryOptions() {
    return {{"record-db", "", "LOC"}, {"since", "", "DATE"}, {"until", "", "DATE"}, {"unit", "", "ID"},
            {"file", "", "PATH"},     {"result", "", "KIND"}, {"recipe", "", "NAME"}, {"signed-by", "", "KEYID"},
            {"limit", "", "N"},       {"csv", ""},            {"json", ""},           {"summary", ""},
            {"by", "", "KEYS"},       {"follow", ""},         {"sync", ""},           {"local", "", "FILE"}};
}

namespace {

// Parses the words after "history"; false with `error` for bad usage. `help` asks for the usage.
bool ParseRequest(const QStringList& args, const std::string& defaultDb, THistoryRequest& request, bool& help,
                  QString& error) {
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    p.addOptions(HistoryOptions());
    p.addOption({{"h", "help"}, ""});
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
    request.LocalPath = p.isSet("local") ? p.value("local") : QFile::decodeName(defaultDb.c_str());
    request.Action = p.isSet("sync") ? TAction::Sync : p.isSet("follow") ? TAction::Follow : TAction::Show;
    if (p.isSet("sync") && p.isSet("follow")) {
        error = "history takes one of --sync and --follow";
        return false;
    }
    if (p.isSet("local") && !p.isSet("sync")) {
        error = "--local names the file --sync forwards from";
        return false;
    }
    if (!ParseHistoryLocation(location, request.Location, error) ||
        !(p.isSet("by") ? ParseGroups(p, request, error) : ParseFormat(p, request.Format, error)) ||
        !ParseFilter(p, request.Filter, error))
        return false;
    if (!request.By.empty() && request.Filter.Limit > 0) {
        error = "--summary --by sums up every record the filter selects: it takes no --limit";
        return false;
    }
    if (request.Action == TAction::Follow && (request.Format == TFormat::Summary || request.Filter.Limit > 0)) {
        error = "--follow prints each record as it comes: it takes no --summary or --limit";
        return false;
    }
    return true;
}

void Print(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

int Fail(int status, const QString& text) {
    std::fprintf(stderr, "zupflshc: %s\n", text.toLocal8Bit().constData());
    return status;
}

void PrintRecord(TFormat format, const TJobRecord& r, THistorySummary& summary) {
    switch (format) {
    case TFormat::Table: Print(TableLine(r)); break;
    case TFormat::Csv: Print(CsvLine(r)); break;
    case TFormat::Json: Print(JsonLine(r)); break;
    case TFormat::Summary: summary.Add(r); break;
    }
}

int Sync(const THistoryRequest& request) {
    TRecordKeeper keeper(request.Location, request.LocalPath);
    QString error;
    const int forwarded = keeper.Forward(error);
    // What still waits, and what the journal held that could not be read, and where, either way.
    const QString backlog = keeper.Backlog().Text();
    if (forwarded < 0) {
        std::fputs(backlog.toLocal8Bit().constData(), stderr);
        return Fail(Exit::Failed, "the waiting records were not forwarded: " + error);
    }
    Print(QString("%1 %2 forwarded to %3\n")
              .arg(forwarded)
              .arg(forwarded == 1 ? "record" : "records", request.Location.Display()) +
          backlog);
    std::fflush(stdout);
    return Exit::Success;
}

// A station file's journal: how many of its lines wait and how many were set aside, and where.
QString JournalBacklog(const THistoryLocation& location) {
    if (location.Kind != THistoryLocation::TKind::Sqlite) return {};
    return TRecordKeeper(location, location.Path).Backlog().Text();
}

// Prints the records kept after the last one printed, oldest first; false when the store cannot be read.
bool PrintNewRecords(THistoryStore& store, const THistoryRequest& request, qint64& lastId, QString& error) {
    THistoryFilter filter = request.Filter;
    filter.AfterId = lastId;
    std::vector<TJobRecord> records;
    if (!store.Query(filter, records, error)) return false;
    THistorySummary unused;
    for (auto r = records.rbegin(); r != records.rend(); ++r) {
        PrintRecord(request.Format, *r, unused);
        lastId = std::max(lastId, r->Id);
    }
    std::fflush(stdout);
    return true;
}

// Listens for the server's word of each commit on `store`'s connection; `poll` runs after it.
bool Listen(THistoryStore& store, QObject& context, const std::function<void()>& poll, QString& error) {
    QSqlDriver* driver = QSqlDatabase::database(store.ConnectionName(), false).driver();
    if (driver->subscribeToNotification(kRecordChannel)) {
        // Queued: the poll may drop the connection whose signal this is.
        QObject::connect(driver, &QSqlDriver::notification, &context, poll, Qt::QueuedConnection);
        return true;
    }
    error = "the record server's notifications cannot be followed: " + driver->lastError().text().simplified();
    return false;
}

// Each new record as it is kept, until a stop signal: a server says so by its notification (and
// is asked every few seconds besides, should one be missed); a file is looked at twice a second.
// A server that goes away (restarted, the connection dropped) is said once and connected to again
// every second; the records kept meanwhile are printed when it is back.
int Follow(std::unique_ptr<THistoryStore> store, const THistoryRequest& request) {
    QString error;
    THistoryFilter newest;
    newest.Limit = 1;
    std::vector<TJobRecord> last;
    if (!store->Query(newest, last, error)) return Fail(Exit::Failed, error);
    qint64 lastId = last.empty() ? 0 : last.front().Id;
    if (request.Format == TFormat::Table) Print(TableHeader());
    if (request.Format == TFormat::Csv) Print(CsvHeader());
    std::fflush(stdout);
    const bool server = request.Location.Kind == THistoryLocation::TKind::Postgres;
    QEventLoop loop;
    QTimer timer;
    int status = Exit::Success;
    bool away = false;
    TStoreOptions options;
    options.ReadOnly = true;
    options.BusyTimeoutMs = 2000;
    std::function<void()> poll = [&] {
        if (!store) {
            if (!(store = THistoryStore::Open(request.Location, error, options)) || !Listen(*store, loop, poll, error)) {
                store.reset();
                return;
            }
        }
        if (PrintNewRecords(*store, request, lastId, error)) {
            if (away) std::fprintf(stderr, "zupflshc: the record server is back: following again\n");
            away = false;
            timer.setInterval(5000);
            return;
        }
        store.reset();
        if (!server) {
            status = Fail(Exit::Failed, error);
            return loop.quit();
        }
        if (!away) Fail(0, "the record server went away (" + error + "); trying again every second");
        away = true;
        timer.setInterval(1000);
    };
    TStopSignals stops;
    stops.Subscribe([&](int) { loop.quit(); });
    QObject::connect(&timer, &QTimer::timeout, poll);
    if (server && !Listen(*store, loop, poll, error)) return Fail(Exit::Failed, error);
    timer.start(server ? 5000 : 500);
    loop.exec();
    return status;
}

// The groups as the database sums them up: never a row of the record read here.
int PrintGroups(THistoryStore& store, const THistoryRequest& request) {
    std::vector<TGroupRow> rows;
    QString error;
    if (!store.WithSummaryLimit([&] { return store.Summarize(request.Filter, request.By, rows, error); }, error))
        return Fail(Exit::Failed, error);
    switch (request.GroupFormat) {
    case TGroupFormat::Table: Print(GroupTable(request.By, rows)); break;
    case TGroupFormat::Csv: Print(GroupCsv(request.By, rows)); break;
    case TGroupFormat::Json: Print(GroupJson(request.By, rows)); break;
    }
    std::fflush(stdout);
    return Exit::Success;
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
    if (request.Action == TAction::Sync) return Sync(request);
    TStoreOptions options;
    options.ReadOnly = true;
    auto store = THistoryStore::Open(request.Location, error, options);
    if (!store) return Fail(Exit::Failed, error);
    if (request.Action == TAction::Follow) return Follow(std::move(store), request);
    if (!request.By.empty()) return PrintGroups(*store, request);
    if (request.Format == TFormat::Summary) {
        THistorySummary sums;
        bool answered = false;
        if (!store->SummarizeDays(request.Filter, sums, answered, error)) return Fail(Exit::Failed, error);
        if (answered) {
            Print(sums.Text() + JournalBacklog(request.Location));
            std::fflush(stdout);
            return Exit::Success;
        }
    }
    THistorySummary summary;
    if (request.Format == TFormat::Table) Print(TableHeader());
    if (request.Format == TFormat::Csv) Print(CsvHeader());
    auto query = [&] {
        return store->Query(request.Filter, [&](const TJobRecord& r) { PrintRecord(request.Format, r, summary); },
                            error);
    };
    // A summary reads every row the filter takes; a listing prints them as they come.
    const bool read = request.Format == TFormat::Summary ? store->WithSummaryLimit(query, error) : query();
    if (request.Format == TFormat::Summary) Print(summary.Text() + JournalBacklog(request.Location));
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
           "                    file_failed, factory_complete, interrupted or\n"
           "                    version_different\n"
           "  --recipe NAME     jobs run under the recipe file NAME (its file name)\n"
           "  --signed-by KEYID jobs run under a recipe signed by the key KEYID\n"
           "  --limit N         the newest N jobs only\n"
           "  --csv             CSV with a header row (RFC 4180); a cell starting with =,\n"
           "                    +, -, @, a tab or CR gets a leading ' so that a\n"
           "                    spreadsheet shows it as text (--json keeps it as it is)\n"
           "  --json            one JSON object per line\n"
           "  --summary         per day and station: units (a unit was reached), loaded,\n"
           "                    verified, failed and why, ports that did not open; and\n"
           "                    how many units were loaded from unsigned recipes; and\n"
           "                    how many records here wait to be forwarded to the server\n"
           "  --by KEYS         with --summary: per port, station, recipe, day or hour\n"
           "                    (several: --by station,day): units, loaded, first-pass\n"
           "                    yield (a unit given its id again after a failure is a\n"
           "                    retry), failures by kind, median duration and median\n"
           "                    wire ratio; a table, --csv or --json (a median from the\n"
           "                    record's sums is within 1 s of a duration's and 0.01\n"
           "                    of a wire ratio's)\n"
           "  --follow          print each new record as it is kept, by any station, until\n"
           "                    Ctrl-C (a server tells of them; a file is looked at)\n"
           "  --sync            forward the records kept locally while the server could not\n"
           "                    take them (the local file's and its journal's) to the\n"
           "                    --record-db server; each is kept there once\n"
           "  --local FILE      --sync: the station's file (default: history.sqlite in\n"
           "                    the program folder)\n"
           "  -h, --help        show this help and exit\n";
}
