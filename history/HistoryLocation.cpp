#include "history/HistoryLocation.h"

#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

namespace {

// libpq keywords worth passing through from a location's query; "host" and "port" are taken apart.
// Qt hands these to libpq unquoted, so each value is held to a shape that cannot end the keyword
// and start another (a space, a quote, a backslash or "=" would carry "dbname=other" in).
const QStringList kPassedThrough = {"sslmode", "connect_timeout", "application_name"};
const QStringList kSslModes = {"disable", "allow", "prefer", "require", "verify-ca", "verify-full"};

bool ValueFits(const QString& key, const QString& value) {
    if (key == "sslmode") return kSslModes.contains(value);
    if (key == "connect_timeout") return QRegularExpression("^[0-9]{1,4}$").match(value).hasMatch();
    return QRegularExpression("^[A-Za-z0-9._-]{1,63}$").match(value).hasMatch();
}

bool ParseQuery(const QUrl& url, THistoryLocation& location, QString& error) {
    QStringList options;
    for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (key == "host") {
            location.Host = value;
        } else if (key == "port") {
            bool ok = false;
            location.Port = value.toInt(&ok);
            if (!ok || location.Port < 1 || location.Port > 65535) {
                error = QString("the port in '%1' must be 1 to 65535").arg(url.toDisplayString(QUrl::RemovePassword));
                return false;
            }
        } else if (kPassedThrough.contains(key)) {
            if (!ValueFits(key, value)) {
                error = QString("%1 in a postgresql:// location takes %2")
                            .arg(key,
                                 key == "sslmode"           ? "one of " + kSslModes.join(", ")
                                 : key == "connect_timeout" ? QString("whole seconds")
                                                            : QString("letters, digits, '.', '_' and '-'"));
                return false;
            }
            options << key + "=" + value;
        } else {
            error = QString("'%1' in a postgresql:// location is not supported (host, port, %2)")
                        .arg(key, kPassedThrough.join(", "));
            return false;
        }
    }
    location.Options = options.join(';');
    return true;
}

// libpq spells a socket folder in the host as "%2Frun%2Fpostgresql", which QUrl refuses as a host
// name: the folder is taken out and a plain name put in its place.
QString TakeSocketFolder(QString& text) {
    const qsizetype start = text.indexOf("://") + 3;
    qsizetype end = start;
    while (end < text.size() && text[end] != '/' && text[end] != '?') ++end;
    const qsizetype hostFrom = text.lastIndexOf('@', end - 1) >= start ? text.lastIndexOf('@', end - 1) + 1 : start;
    if (!text.mid(hostFrom, 3).startsWith("%2F", Qt::CaseInsensitive)) return {};
    qsizetype hostTo = text.indexOf(':', hostFrom);
    if (hostTo < 0 || hostTo > end) hostTo = end;
    const QString folder = QUrl::fromPercentEncoding(text.mid(hostFrom, hostTo - hostFrom).toLatin1());
    text.replace(hostFrom, hostTo - hostFrom, "localhost");
    return folder;
}

bool ParsePostgres(QString text, THistoryLocation& location, QString& error) {
    const QString socketFolder = TakeSocketFolder(text);
    const QUrl url(text, QUrl::StrictMode);
    const QString shown = url.isValid() ? url.toDisplayString(QUrl::RemovePassword) : QString("postgresql://...");
    if (!url.isValid()) {
        // Qt's text goes on to quote the whole location, password and all.
        error = QString("not a valid postgresql:// location: %1").arg(url.errorString().section(';', 0, 0));
        return false;
    }
    location.Kind = THistoryLocation::TKind::Postgres;
    location.User = url.userName(QUrl::FullyDecoded);
    location.Password = url.password(QUrl::FullyDecoded);
    // QUrl lower-cases host names but leaves a percent-encoded socket folder ("%2Frun%2Fpg") alone.
    location.Host = socketFolder.isEmpty() ? url.host() : socketFolder;
    location.Port = url.port(5432);
    // QUrl takes ":0" as a port; no server listens there.
    if (location.Port < 1) {
        error = QString("the port in '%1' must be 1 to 65535").arg(shown);
        return false;
    }
    location.Database = url.path(QUrl::FullyDecoded).mid(1);
    if (!ParseQuery(url, location, error)) return false;
    if (location.Database.isEmpty() || location.Database.contains('/')) {
        error = QString("'%1' names no database (postgresql://user@host[:port]/db)").arg(shown);
        return false;
    }
    if (!location.Host.isEmpty() && location.Host.contains('/') && !location.Host.startsWith('/')) {
        error = QString("the socket folder in '%1' must be an absolute path").arg(shown);
        return false;
    }
    return true;
}

}  // namespace

QString THistoryLocation::Display() const {
    if (Kind == TKind::Sqlite) return Path;
    const QString host = Host.startsWith('/') ? QString() : Host;
    QString text = "postgresql://" + (User.isEmpty() ? QString() : User + "@") + host;
    if (Port != 5432) text += ":" + QString::number(Port);
    text += "/" + Database;
    if (Host.startsWith('/')) text += "?host=" + Host;
    return text;
}

bool ParseHistoryLocation(const QString& text, THistoryLocation& location, QString& error) {
    location = THistoryLocation();
    if (text.isEmpty()) {
        error = "the record database location is empty";
        return false;
    }
    const QRegularExpression scheme("^([A-Za-z][A-Za-z0-9+.-]*)://");
    const QRegularExpressionMatch m = scheme.match(text);
    if (!m.hasMatch()) {
        location.Path = text;
        return true;
    }
    const QString name = m.captured(1).toLower();
    if (name != "postgresql" && name != "postgres") {
        error = QString("unknown record database scheme '%1://' (a file path or postgresql://user@host/db)")
                    .arg(m.captured(1));
        return false;
    }
    return ParsePostgres(text, location, error);
}
