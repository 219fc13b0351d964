#include "history/HistoryFilter.h"

#include <QDate>
#include <QRegularExpression>

namespace {

bool IsDateOnly(const QString& text) {
    return QRegularExpression("^\\d{4}-\\d{2}-\\d{2}$").match(text).hasMatch();
}

// Qt's ISO reader also takes "2026-01-05T" or a week date; an operator's time is one of these.
bool ParseDateTime(QString text, QDateTime& when) {
    const QRegularExpression shape(
        "^\\d{4}-\\d{2}-\\d{2}[T ]\\d{2}:\\d{2}(:\\d{2}(\\.\\d{1,3})?)?(Z|[+-]\\d{2}:\\d{2})?$");
    if (!shape.match(text).hasMatch()) return false;
    text[10] = 'T';
    when = QDateTime::fromString(text, Qt::ISODateWithMs);
    return when.isValid();
}

}  // namespace

bool ParseLowerTimeBound(const QString& text, QDateTime& since) {
    if (IsDateOnly(text)) {
        const QDate day = QDate::fromString(text, Qt::ISODate);
        since = day.startOfDay();
        return day.isValid();
    }
    return ParseDateTime(text, since);
}

bool ParseUpperTimeBound(const QString& text, QDateTime& before) {
    if (IsDateOnly(text)) {
        const QDate day = QDate::fromString(text, Qt::ISODate);
        before = day.addDays(1).startOfDay();
        return day.isValid();
    }
    if (!ParseDateTime(text, before)) return false;
    before = before.addMSecs(1);
    return true;
}
