// Where the production record lives: a SQLite file, or a PostgreSQL server given as
// postgresql://user@host[:port]/db (a host that is an absolute folder, or ?host=/folder, is the
// folder of the server's local socket).
#pragma once

#include <QString>

struct THistoryLocation {
    enum class TKind { Sqlite, Postgres };
    TKind Kind = TKind::Sqlite;
    QString Path;      // Sqlite: the file as given
    QString User;      // Postgres: "" leaves it to libpq (the login name, PGUSER)
    QString Password;  // "" leaves it to libpq (~/.pgpass, PGPASSWORD)
    QString Host;      // a host name or address, or an absolute socket folder; "" = libpq's default
    int Port = 5432;
    QString Database;
    QString Options;   // further libpq keywords from the query, "key=value;..." for QPSQL

    // The location for messages, without a password.
    QString Display() const;
};

// Anything with a "scheme://" is a server, and only postgresql:// (or postgres://) is known; the
// rest is a file path. On failure returns false with `error` the one line to show.
bool ParseHistoryLocation(const QString& text, THistoryLocation& location, QString& error);
