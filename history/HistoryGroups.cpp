#include "history/HistoryGroups.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimeZone>
#include <QVariant>
#include <algorithm>
#include <cmath>
#include <functional>

#include "history/HistoryFormat.h"
#include "history/HistoryRollup.h"
#include "history/HistoryStore.h"
#include "history/JobRecord.h"

namespace {

constexpr struct {
    TGroupKey Key;
    const char* Name;
} kKeys[] = {{TGroupKey::Port, "port"},
             {TGroupKey::Station, "station"},
             {TGroupKey::Recipe, "recipe"},
             {TGroupKey::Day, "day"},
             {TGroupKey::Hour, "hour"}};

// Days and hours are the station's local ones, as the plain summary's days are: SQLite turns the
// UTC text with the process's own zone, the server with the zone's name bound as a value.
// Over the sums (`sums`), the port is a column of its own and the time is the hour's; over the
// day sums (`days`), the day is a column too.
QString KeyExpression(TGroupKey key, bool sqlite, bool sums, bool days, QVariantList& values) {
    if (days && key == TGroupKey::Day) return "day";
    switch (key) {
    case TGroupKey::Port: return sums ? "port" : "CASE WHEN port_name = '' THEN device ELSE port_name END";
    case TGroupKey::Station: return "station";
    case TGroupKey::Recipe: return "recipe";
    case TGroupKey::Day:
    case TGroupKey::Hour: break;
    }
    const bool day = key == TGroupKey::Day;
    if (sums) return HistoryRollup::LocalTime(day, sqlite, values);
    if (sqlite) return day ? "date(start_utc, 'localtime')" : "strftime('%Y-%m-%d %H:00', start_utc, 'localtime')";
    values << QString::fromUtf8(QTimeZone::systemTimeZoneId());
    return QString("to_char(CAST(start_utc AS timestamptz) AT TIME ZONE ?, '%1')")
        .arg(day ? "YYYY-MM-DD" : "YYYY-MM-DD HH24:00");
}

QString Percent(double share) { return share < 0 ? QString("-") : QString::number(share * 100, 'f', 1) + "%"; }
QString Seconds(double ms) { return ms < 0 ? QString("-") : QString::number(ms / 1000, 'f', 1); }
QString Ratio(double r) { return r < 0 ? QString("-") : QString::number(r, 'f', 2); }

QString FailureText(const TGroupRow& row, const QString& between) {
    QStringList parts;
    for (const auto& [kind, count] : row.Failures) parts << kind + " " + QString::number(count);
    return parts.join(between);
}

}  // namespace

bool ParseGroupKeys(const QString& text, std::vector<TGroupKey>& keys, QString& error) {
    keys.clear();
    for (const QString& word : text.split(',')) {
        const auto* found = std::find_if(std::begin(kKeys), std::end(kKeys),
                                         [&](const auto& k) { return word.trimmed() == QLatin1String(k.Name); });
        if (found == std::end(kKeys)) {
            error = QString("--by takes port, station, recipe, day or hour (several with commas), not '%1'").arg(word);
            return false;
        }
        if (std::find(keys.begin(), keys.end(), found->Key) != keys.end()) {
            error = QString("--by names %1 twice").arg(found->Name);
            return false;
        }
        keys.push_back(found->Key);
    }
    return true;
}

const char* GroupKeyName(TGroupKey key) {
    for (const auto& k : kKeys)
        if (k.Key == key) return k.Name;
    return "";
}

namespace {

// One answer row of counts by result and first pass, added to its group.
void TakeCounts(int n, TGroupRow& r, const QSqlQuery& q) {
    const QString result = q.value(n).toString();
    const bool first = q.value(n + 1).toLongLong() != 0, loaded = IsSuccessKind(result);
    const qint64 count = q.value(n + 2).toLongLong();
    if (result == QLatin1String("port_failed")) return void(r.Failures[result] += count);
    r.Units += count;
    if (first) r.FirstPass += count;
    if (loaded) r.Loaded += count, r.FirstPassLoaded += first ? count : 0;
    else r.Failures[result] += count;
}

// Each group's key columns as `SELECT` expressions ("k0", "k1", ...) and their names.
void KeyColumns(const std::vector<TGroupKey>& keys, bool sqlite, bool sums, bool days, QVariantList& values,
                QStringList& exprs, QStringList& names) {
    for (size_t i = 0; i < keys.size(); ++i) {
        exprs << KeyExpression(keys[i], sqlite, sums, days, values) + " AS k" + QString::number(i);
        names << "k" + QString::number(i);
    }
}

}  // namespace

bool THistoryStore::Grouped(const QString& sql, const QVariantList& values, size_t keyCount,
                            std::map<QStringList, size_t>& at, std::vector<TGroupRow>& rows,
                            const std::function<void(TGroupRow&, const QSqlQuery&)>& take, QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        error = Failure("cannot be summed up", q.lastError());
        return false;
    }
    int i = 0;
    for (const QVariant& v : values) q.bindValue(i++, v);
    if (!q.exec()) {
        error = Failure("cannot be summed up", q.lastError());
        return false;
    }
    while (q.next()) {
        QStringList key;
        for (int k = 0; k < static_cast<int>(keyCount); ++k) key << q.value(k).toString();
        auto found = at.find(key);
        if (found == at.end()) {
            found = at.emplace(key, rows.size()).first;
            rows.emplace_back();
            rows.back().Keys = key;
        }
        take(rows[found->second], q);
    }
    return true;
}

// From the rows: three statements, each one pass of the database over the filter's rows: the
// records by group, result and first pass, and the two medians. SQLite has no median aggregate: the
// medians are taken by window functions, each group's values numbered in order and the middle one
// or two averaged, so no row leaves the database; PostgreSQL has percentile_cont.
bool THistoryStore::Summarize(const THistoryFilter& filter, const std::vector<TGroupKey>& keys,
                              std::vector<TGroupRow>& rows, QString& error, bool fromRows) {
    auto any = [&](TGroupKey key) { return std::find(keys.begin(), keys.end(), key) != keys.end(); };
    const bool hours = any(TGroupKey::Hour), local = hours || any(TGroupKey::Day);
    if (!fromRows) {
        // Days matter to the answer when they are asked for or bound it; otherwise any zone's do.
        bool days = false;
        const bool zoned = local || filter.Since.isValid() || filter.Before.isValid();
        if (HistoryRollup::DaysAnswer(filter, hours) && !DaysFit(filter, zoned, days, error)) return false;
        if (days || HistoryRollup::Answers(filter, local)) return SummarizeSums(filter, keys, days, rows, error);
    }
    const bool sqlite = location_.Kind == THistoryLocation::TKind::Sqlite;
    QVariantList keyValues, filterValues;
    QStringList exprs, names;
    KeyColumns(keys, sqlite, false, false, keyValues, exprs, names);
    QString where = HistoryWhere(filter, filterValues);
    if (where.isEmpty()) where = "1 = 1";
    const QString keyList = names.join(", ");
    const QString grouped = QString("SELECT %1, result, duration_ms, wire_ratio, first_pass FROM job_record WHERE %2")
                                .arg(exprs.join(", "), where);
    // One pass gives every count: the groups by result and first pass are few, and summed up here.
    const QString counts =
        QString("SELECT %1, result, first_pass, COUNT(*) FROM (%2) g GROUP BY %1, result, first_pass ORDER BY %1")
            .arg(keyList, grouped);
    auto median = [&](const QString& value, const QString& only) {
        if (!sqlite)
            return QString("SELECT %1, percentile_cont(0.5) WITHIN GROUP (ORDER BY %2) FROM (%3) g WHERE %4 GROUP BY %1")
                .arg(keyList, value, grouped, only);
        return QString("SELECT %1, AVG(v) FROM (SELECT %1, %2 AS v, ROW_NUMBER() OVER (PARTITION BY %1 ORDER BY %2) AS n, "
                       "COUNT(*) OVER (PARTITION BY %1) AS c FROM (%3) g WHERE %4) m "
                       "WHERE n IN ((c + 1) / 2, (c + 2) / 2) GROUP BY %1")
            .arg(keyList, value, grouped, only);
    };
    const QVariantList values = keyValues + filterValues;
    std::map<QStringList, size_t> at;
    const int n = static_cast<int>(keys.size());
    rows.clear();
    return Grouped(counts, values, keys.size(), at, rows, [n](TGroupRow& r, const QSqlQuery& q) { TakeCounts(n, r, q); },
                   error) &&
           Grouped(median("duration_ms", "result <> 'port_failed'"), values, keys.size(), at, rows,
                   [n](TGroupRow& r, const QSqlQuery& q) { r.MedianDurationMs = q.value(n).toDouble(); }, error) &&
           Grouped(median("wire_ratio", "wire_ratio > 0"), values, keys.size(), at, rows,
                   [n](TGroupRow& r, const QSqlQuery& q) { r.MedianWireRatio = q.value(n).toDouble(); }, error);
}

bool THistoryStore::DaysFit(const THistoryFilter& filter, bool zoned, bool& fit, QString& error) {
    fit = true;
    if (!zoned) return true;
    // Every day is looked at, not only those inside the bounds: a record filed under another zone's
    // day may lie outside them and still belong inside.
    THistoryFilter unbounded = filter;
    unbounded.Since = unbounded.Before = QDateTime();
    QVariantList values;
    const QString where = HistoryRollup::DayWhere(unbounded, values);
    std::map<QStringList, size_t> at;
    std::vector<TGroupRow> days;
    if (!Grouped("SELECT DISTINCT day, utc_offset FROM job_rollup_day WHERE " + where, values, 2, at, days,
                 [](TGroupRow&, const QSqlQuery&) {}, error))
        return false;
    fit = std::all_of(days.begin(), days.end(),
                      [](const TGroupRow& d) { return HistoryRollup::DayInZone(d.Keys[0], d.Keys[1].toLongLong()); });
    return true;
}

// From the sums: two statements over a few rows a day (or an hour), whatever the number of
// records; the medians read from each group's buckets.
bool THistoryStore::SummarizeSums(const THistoryFilter& filter, const std::vector<TGroupKey>& keys, bool days,
                                  std::vector<TGroupRow>& rows, QString& error) {
    QVariantList values;
    QStringList exprs, names;
    KeyColumns(keys, location_.Kind == THistoryLocation::TKind::Sqlite, true, days, values, exprs, names);
    const QString where = days ? HistoryRollup::DayWhere(filter, values) : HistoryRollup::Where(filter, values);
    const QString keyList = names.join(", "), table = days ? "job_rollup_day" : "job_rollup";
    const QString counts = QString("SELECT %1, result, first_pass, SUM(n) FROM (SELECT %2, result, first_pass, n "
                                   "FROM %4 WHERE %3) g GROUP BY %1, result, first_pass ORDER BY %1")
                               .arg(keyList, exprs.join(", "), where, table);
    const QString buckets = QString("SELECT %1, measure, bucket, SUM(n), SUM(total) FROM (SELECT %2, measure, bucket, "
                                    "n, total FROM %4_bucket WHERE %3) g GROUP BY %1, measure, bucket")
                                .arg(keyList, exprs.join(", "), where, table);
    std::map<QStringList, size_t> at;
    std::map<std::pair<QStringList, QString>, HistoryRollup::TBucketMedian> medians;
    const int n = static_cast<int>(keys.size());
    rows.clear();
    const bool ok =
        Grouped(counts, values, keys.size(), at, rows, [n](TGroupRow& r, const QSqlQuery& q) { TakeCounts(n, r, q); },
                error) &&
        Grouped(buckets, values, keys.size(), at, rows,
                [&](TGroupRow& r, const QSqlQuery& q) {
                    medians[{r.Keys, q.value(n).toString()}].Add(q.value(n + 1).toLongLong(), q.value(n + 2).toLongLong(),
                                                                 q.value(n + 3).toDouble());
                },
                error);
    for (TGroupRow& r : rows) {
        if (auto d = medians.find({r.Keys, "duration"}); d != medians.end()) r.MedianDurationMs = d->second.Median();
        if (auto w = medians.find({r.Keys, "wire"}); w != medians.end()) r.MedianWireRatio = w->second.Median();
    }
    return ok;
}

QString GroupTable(const std::vector<TGroupKey>& keys, const std::vector<TGroupRow>& rows) {
    auto cell = [](const QString& text, int width) { return text.leftJustified(width); };
    QString text;
    for (TGroupKey k : keys) {
        QString title = GroupKeyName(k);
        title[0] = title[0].toUpper();
        text += cell(title, 16) + "  ";
    }
    text += "Units  Loaded  First pass  Median s  Wire  Failures\n";
    for (const TGroupRow& r : rows) {
        QString line;
        for (const QString& key : r.Keys) line += cell(key.isEmpty() ? "-" : key, 16) + "  ";
        line += QString("%1  %2  %3  %4  %5  %6")
                    .arg(r.Units, 5)
                    .arg(r.Loaded, 6)
                    .arg(Percent(r.FirstPassYield()), 10)
                    .arg(Seconds(r.MedianDurationMs), 8)
                    .arg(Ratio(r.MedianWireRatio), 4)
                    .arg(FailureText(r, ", "));
        while (line.endsWith(' ')) line.chop(1);
        text += line + '\n';
    }
    return text;
}

QString GroupCsv(const std::vector<TGroupKey>& keys, const std::vector<TGroupRow>& rows) {
    QStringList header;
    for (TGroupKey k : keys) header << GroupKeyName(k);
    header << "units" << "loaded" << "first_pass" << "first_pass_loaded" << "first_pass_yield"
           << "median_duration_ms" << "median_wire_ratio" << "failures";
    QString text = header.join(',') + "\r\n";
    for (const TGroupRow& r : rows) {
        QStringList fields;
        for (const QString& key : r.Keys) fields << CsvField(key);
        fields << QString::number(r.Units) << QString::number(r.Loaded) << QString::number(r.FirstPass)
               << QString::number(r.FirstPassLoaded)
               << (r.FirstPassYield() < 0 ? QString() : QString::number(r.FirstPassYield(), 'f', 4))
               << (r.MedianDurationMs < 0 ? QString() : QString::number(r.MedianDurationMs, 'f', 0))
               << (r.MedianWireRatio < 0 ? QString() : QString::number(r.MedianWireRatio, 'f', 3))
               << CsvField(FailureText(r, "; "));
        text += fields.join(',') + "\r\n";
    }
    return text;
}

QString GroupJson(const std::vector<TGroupKey>& keys, const std::vector<TGroupRow>& rows) {
    QString text;
    for (const TGroupRow& r : rows) {
        QJsonObject o;
        for (size_t i = 0; i < keys.size(); ++i) o.insert(GroupKeyName(keys[i]), r.Keys[static_cast<int>(i)]);
        QJsonObject failures;
        for (const auto& [kind, count] : r.Failures) failures.insert(kind, count);
        o.insert("units", r.Units), o.insert("loaded", r.Loaded), o.insert("first_pass", r.FirstPass);
        o.insert("first_pass_loaded", r.FirstPassLoaded);
        o.insert("first_pass_yield", r.FirstPassYield() < 0 ? QJsonValue() : QJsonValue(r.FirstPassYield()));
        // Rounded as the record's figures deserve, so that each database's last bit of a mean agrees.
        o.insert("median_duration_ms",
                 r.MedianDurationMs < 0 ? QJsonValue() : QJsonValue(std::round(r.MedianDurationMs)));
        o.insert("median_wire_ratio",
                 r.MedianWireRatio < 0 ? QJsonValue() : QJsonValue(std::round(r.MedianWireRatio * 1000) / 1000));
        o.insert("failures", failures);
        text += QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + '\n';
    }
    return text;
}
