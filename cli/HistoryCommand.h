// `zupflshc history`: the production record read back as a table, CSV, JSON lines or a summary
// per day and station.
#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QStringList>
#include <string>

// `args` are the words after "history"; `defaultDb` is the SQLite file read without --record-db.
// Prints the records on stdout and a failure as one line "zupflshc: ..." on stderr. Returns 0, 1
// when the record cannot be read, 2 for bad usage.
int RunHistoryCommand(const QStringList& args, const std::string& defaultDb);

// The text `history --help` prints.
QString HistoryUsageText();

// The options history takes, as its parser takes them (the manual page's synopsis is made from them).
QList<QCommandLineOption> HistoryOptions();
