// A record location of any text (--record-db, history --record-db): a file path is taken as it
// stands, a server location never lets its query carry a libpq keyword of its own into the
// connection, and the location shown in messages never holds the password.
#include <QRegularExpression>
#include <QString>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "history/HistoryLocation.h"

namespace {

bool OptionsAreSafe(const QString& options) {
    if (options.isEmpty()) return true;
    static const QRegularExpression one("^(sslmode|connect_timeout|application_name)=[A-Za-z0-9._-]+$");
    for (const QString& option : options.split(';'))
        if (!one.match(option).hasMatch()) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    THistoryLocation location;
    QString error;
    if (!ParseHistoryLocation(text, location, error)) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    if (location.Kind == THistoryLocation::TKind::Sqlite) {
        FUZZ_CHECK(location.Path == text && !text.isEmpty());
        FUZZ_CHECK(location.Display() == text);
        return 0;
    }
    FUZZ_CHECK(OptionsAreSafe(location.Options));
    FUZZ_CHECK(!location.Database.isEmpty() && !location.Database.contains('/'));
    FUZZ_CHECK(location.Port >= 1 && location.Port <= 65535);
    FUZZ_CHECK(location.Host.isEmpty() || !location.Host.contains('/') || location.Host.startsWith('/'));
    const QString shown = location.Display();
    FUZZ_CHECK(shown.startsWith("postgresql://"));
    // The password would stand after the user name (a database may well be called ":x@").
    if (!location.Password.isEmpty())
        FUZZ_CHECK(!shown.startsWith("postgresql://" + location.User + ":" + location.Password + "@"));
    return 0;
}
