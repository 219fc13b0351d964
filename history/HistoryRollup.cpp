#include "history/HistoryRollup.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimeZone>
#include <functional>

#include "history/HistoryFormat.h"
#include "history/HistoryStore.h"

using HistorySchema::TDialect;

namespace HistoryRollup {
namespace {

// One row's place in the sums, its columns read from `p` ("NEW." in a trigger, "" over the table).
QString Place(const QString& p) {
    return QString("%1station, CASE WHEN %1port_name = '' THEN %1device ELSE %1port_name END, %1recipe, "
                   "%1recipe_key_id, substr(%1start_utc, 1, 13)")
        .arg(p);
}
QString Counted(const QString& p) { return Place(p) + QString(", %1result, %1reason, %1first_pass").arg(p); }

QString DurationBucket(const QString& p) { return QString("%1duration_ms / %2").arg(p).arg(kDurationBucketMs); }
QString WireBucket(const QString& p, TDialect d) {
    const QString scaled = QString("%1wire_ratio * %2").arg(p).arg(kWireBucketsPerUnit);
    // SQLite's CAST truncates (the floor of a positive ratio); PostgreSQL's rounds.
    return d == TDialect::Sqlite ? "CAST(" + scaled + " AS INTEGER)" : "CAST(floor(" + scaled + ") AS BIGINT)";
}

const char* kCountColumns = "station, port, recipe, recipe_key_id, hour, result, reason, first_pass";
const char* kBucketColumns = "station, port, recipe, recipe_key_id, hour, result, measure, bucket";

// The statements a new row runs, `p` being "NEW.".
QStringList Additions(TDialect d) {
    const QString p = "NEW.";
    const QString bucket = QString(" ON CONFLICT (%1) DO UPDATE SET n = job_rollup_bucket.n + 1, "
                                   "total = job_rollup_bucket.total + excluded.total")
                               .arg(kBucketColumns);
    return {QString("INSERT INTO job_rollup (%1, n) VALUES (%2, 1) ON CONFLICT (%1) DO UPDATE SET n = job_rollup.n + 1")
                .arg(kCountColumns, Counted(p)),
            QString("INSERT INTO job_rollup_bucket (%1, n, total) SELECT %2, %4result, 'duration', %3, 1, %4duration_ms "
                    "WHERE %4result <> 'port_failed'")
                    .arg(kBucketColumns, Place(p), DurationBucket(p), p) +
                bucket,
            QString("INSERT INTO job_rollup_bucket (%1, n, total) SELECT %2, %4result, 'wire', %3, 1, %4wire_ratio "
                    "WHERE %4wire_ratio > 0")
                    .arg(kBucketColumns, Place(p), WireBucket(p, d), p) +
                bucket};
}

// A row's local day and its zone's offset from UTC then, as the writer's zone gives them: SQLite's
// 'localtime' is the writing process's zone, a server's the session's (the store sets it to the
// station's own when it connects).
QString DayPlace(const QString& p, TDialect d) {
    const QString day = d == TDialect::Sqlite
                            ? QString("date(%1start_utc, 'localtime'), CAST(round((julianday(%1start_utc, 'localtime') - "
                                      "julianday(%1start_utc)) * 86400) AS INTEGER)")
                            : QString("to_char(CAST(%1start_utc AS timestamptz), 'YYYY-MM-DD'), "
                                      "CAST(EXTRACT(timezone FROM CAST(%1start_utc AS timestamptz)) AS BIGINT)");
    return QString("%1station, CASE WHEN %1port_name = '' THEN %1device ELSE %1port_name END, %1recipe, "
                   "%1recipe_key_id, %2")
        .arg(p, day.arg(p));
}
QString DayWireBucket(const QString& p, TDialect d) {
    const QString scaled = QString("%1wire_ratio * %2").arg(p).arg(kDayWireBucketsPerUnit);
    return d == TDialect::Sqlite ? "CAST(" + scaled + " AS INTEGER)" : "CAST(floor(" + scaled + ") AS BIGINT)";
}

const char* kDayCountColumns = "station, port, recipe, recipe_key_id, day, utc_offset, result, reason, first_pass";
const char* kDayBucketColumns = "station, port, recipe, recipe_key_id, day, utc_offset, result, measure, bucket";

// The day sums' part of a row: `p` is "NEW." in a trigger; over the table ("") the rows are grouped.
QStringList DayAdditions(const QString& p, TDialect d) {
    const bool trigger = !p.isEmpty();
    const QString one = trigger ? "1" : "COUNT(*)";
    auto sum = [&](const QString& v) { return trigger ? p + v : "SUM(" + v + ")"; };
    const QString counts = QString("INSERT INTO job_rollup_day (%1, n) SELECT %2, %3result, %3reason, %3first_pass, %4")
                               .arg(kDayCountColumns, DayPlace(p, d), p, one);
    const QString durations = QString("INSERT INTO job_rollup_day_bucket (%1, n, total) SELECT %2, %3result, "
                                      "'duration', %4, %5, %6 WHERE %3result <> 'port_failed'")
                                  .arg(kDayBucketColumns, DayPlace(p, d), p, DurationBucket(p), one, sum("duration_ms"));
    const QString wires = QString("INSERT INTO job_rollup_day_bucket (%1, n, total) SELECT %2, %3result, 'wire', %4, "
                                  "%5, %6 WHERE %3wire_ratio > 0")
                              .arg(kDayBucketColumns, DayPlace(p, d), p, DayWireBucket(p, d), one, sum("wire_ratio"));
    if (!trigger)
        return {counts + " FROM job_record GROUP BY 1, 2, 3, 4, 5, 6, 7, 8, 9",
                QString(durations).replace(" WHERE ", " FROM job_record WHERE ") + " GROUP BY 1, 2, 3, 4, 5, 6, 7, 9",
                QString(wires).replace(" WHERE ", " FROM job_record WHERE ") + " GROUP BY 1, 2, 3, 4, 5, 6, 7, 9"};
    const QString bucket = QString(" ON CONFLICT (%1) DO UPDATE SET n = job_rollup_day_bucket.n + 1, "
                                   "total = job_rollup_day_bucket.total + excluded.total")
                               .arg(kDayBucketColumns);
    // SQLite reads an ON after a SELECT as a join's unless a WHERE comes between.
    return {counts + QString(" WHERE 1 = 1 ON CONFLICT (%1) DO UPDATE SET n = job_rollup_day.n + 1").arg(kDayCountColumns),
            durations + bucket, wires + bucket};
}

// The statements that run for every new row, in a trigger named `name`.
QStringList Trigger(const QString& name, const QStringList& add, TDialect d) {
    if (d == TDialect::Sqlite)
        return {"CREATE TRIGGER " + name + " AFTER INSERT ON job_record BEGIN " + add.join("; ") + "; END"};
    return {"CREATE OR REPLACE FUNCTION " + name + "() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN " + add.join("; ") +
                "; RETURN NULL; END $$",
            "CREATE TRIGGER " + name + " AFTER INSERT ON job_record FOR EACH ROW EXECUTE PROCEDURE " + name + "()"};
}

}  // namespace

QStringList CreateDays(TDialect d) {
    QStringList steps;
    if (d == TDialect::Postgres) steps << "SET LOCAL statement_timeout = 600000";
    steps << QString("CREATE TABLE job_rollup_day (station TEXT NOT NULL, port TEXT NOT NULL, recipe TEXT NOT NULL, "
                     "recipe_key_id TEXT NOT NULL, day TEXT NOT NULL, utc_offset BIGINT NOT NULL, result TEXT NOT NULL, "
                     "reason TEXT NOT NULL, first_pass BIGINT NOT NULL, n BIGINT NOT NULL, PRIMARY KEY (%1))")
                 .arg(kDayCountColumns)
          << QString("CREATE TABLE job_rollup_day_bucket (station TEXT NOT NULL, port TEXT NOT NULL, recipe TEXT NOT "
                     "NULL, recipe_key_id TEXT NOT NULL, day TEXT NOT NULL, utc_offset BIGINT NOT NULL, result TEXT NOT "
                     "NULL, measure TEXT NOT NULL, bucket BIGINT NOT NULL, n BIGINT NOT NULL, total DOUBLE PRECISION "
                     "NOT NULL, PRIMARY KEY (%1))")
                 .arg(kDayBucketColumns)
          << DayAdditions("", d) << Trigger("job_rollup_day_add", DayAdditions("NEW.", d), d);
    return steps;
}

bool DaysAnswer(const THistoryFilter& f, bool hours) {
    auto onMidnight = [](const QDateTime& t) { return !t.isValid() || t.toLocalTime().time() == QTime(0, 0); };
    return !hours && onMidnight(f.Since) && onMidnight(f.Before) && f.UnitId.isEmpty() && f.InputSha256.isEmpty() &&
           f.AfterId <= 0 && !f.PendingOnly && f.Limit <= 0;
}

QString DayWhere(const THistoryFilter& f, QVariantList& values) {
    QStringList where = {"1 = 1"};
    auto add = [&](const QString& condition, const QVariant& value) {
        where << condition;
        values << value;
    };
    if (f.Since.isValid()) add("day >= ?", f.Since.toLocalTime().date().toString(Qt::ISODate));
    if (f.Before.isValid()) add("day < ?", f.Before.toLocalTime().date().toString(Qt::ISODate));
    if (!f.Result.isEmpty()) add("result = ?", f.Result);
    if (!f.Recipe.isEmpty()) add("recipe = ?", f.Recipe);
    if (!f.SignedBy.isEmpty()) add("recipe_key_id = ?", f.SignedBy.toLower());
    return where.join(" AND ");
}

bool DayInZone(const QString& day, qint64 utcOffset) {
    const QDate date = QDate::fromString(day, Qt::ISODate);
    if (!date.isValid()) return false;
    // A day the clocks change on has two offsets; a record filed under either is this zone's.
    const QDateTime first(date, QTime(0, 0)), last(date, QTime(23, 59, 59));
    return utcOffset == first.offsetFromUtc() || utcOffset == last.offsetFromUtc();
}

QStringList Create(TDialect d) {
    QStringList steps;
    // Summing a server's million rows takes longer than a statement may take in a job; the upgrade
    // is done once, by one station, and bounded still.
    if (d == TDialect::Postgres) steps << "SET LOCAL statement_timeout = 600000";
    steps << QStringList{
        QString("CREATE TABLE job_rollup (station TEXT NOT NULL, port TEXT NOT NULL, recipe TEXT NOT NULL, "
                "recipe_key_id TEXT NOT NULL, hour TEXT NOT NULL, result TEXT NOT NULL, reason TEXT NOT NULL, first_pass BIGINT NOT NULL, "
                "n BIGINT NOT NULL, PRIMARY KEY (%1))")
            .arg(kCountColumns),
        QString("CREATE TABLE job_rollup_bucket (station TEXT NOT NULL, port TEXT NOT NULL, recipe TEXT NOT NULL, "
                "recipe_key_id TEXT NOT NULL, hour TEXT NOT NULL, result TEXT NOT NULL, measure TEXT NOT NULL, bucket BIGINT NOT NULL, n BIGINT NOT NULL, "
                "total DOUBLE PRECISION NOT NULL, PRIMARY KEY (%1))")
            .arg(kBucketColumns),
        QString("INSERT INTO job_rollup (%1, n) SELECT %2, COUNT(*) FROM job_record GROUP BY 1, 2, 3, 4, 5, 6, 7, 8")
            .arg(kCountColumns, Counted("")),
        QString("INSERT INTO job_rollup_bucket (%1, n, total) SELECT %2, result, 'duration', %3, COUNT(*), "
                "SUM(duration_ms) FROM job_record WHERE result <> 'port_failed' GROUP BY 1, 2, 3, 4, 5, 6, 8")
            .arg(kBucketColumns, Place(""), DurationBucket("")),
        QString("INSERT INTO job_rollup_bucket (%1, n, total) SELECT %2, result, 'wire', %3, COUNT(*), "
                "SUM(wire_ratio) FROM job_record WHERE wire_ratio > 0 GROUP BY 1, 2, 3, 4, 5, 6, 8")
            .arg(kBucketColumns, Place(""), WireBucket("", d)),
    };
    return steps << Trigger("job_rollup_add", Additions(d), d);
}

bool Answers(const THistoryFilter& f, bool localTime) {
    auto onHour = [](const QDateTime& t) {
        if (!t.isValid()) return true;
        const QTime utc = t.toUTC().time();
        return utc.minute() == 0 && utc.second() == 0 && utc.msec() == 0;
    };
    if (!onHour(f.Since) || !onHour(f.Before)) return false;
    if (!f.UnitId.isEmpty() || !f.InputSha256.isEmpty() || f.AfterId > 0 || f.PendingOnly || f.Limit > 0) return false;
    if (!localTime) return true;
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    return zone.standardTimeOffset(now) % 3600 == 0 && zone.offsetFromUtc(now) % 3600 == 0;
}

QString Where(const THistoryFilter& f, QVariantList& values) {
    QStringList where = {"1 = 1"};
    auto add = [&](const QString& condition, const QVariant& value) {
        where << condition;
        values << value;
    };
    // A bound on a whole hour takes that hour's sums whole, or none of them.
    if (f.Since.isValid()) add("hour >= ?", f.Since.toUTC().toString(Qt::ISODate).left(13));
    if (f.Before.isValid()) add("hour < ?", f.Before.toUTC().toString(Qt::ISODate).left(13));
    if (!f.Result.isEmpty()) add("result = ?", f.Result);
    if (!f.Recipe.isEmpty()) add("recipe = ?", f.Recipe);
    if (!f.SignedBy.isEmpty()) add("recipe_key_id = ?", f.SignedBy.toLower());
    return where.join(" AND ");
}

QString LocalTime(bool day, bool sqlite, QVariantList& values) {
    if (sqlite) return day ? "date(hour || ':00', 'localtime')" : "strftime('%Y-%m-%d %H:00', hour || ':00', 'localtime')";
    values << QString::fromUtf8(QTimeZone::systemTimeZoneId());
    return QString("to_char(CAST(hour || ':00:00+00' AS timestamptz) AT TIME ZONE ?, '%1')")
        .arg(day ? "YYYY-MM-DD" : "YYYY-MM-DD HH24:00");
}

void TBucketMedian::Add(qint64 bucket, qint64 count, double total) {
    auto& b = buckets_[bucket];
    b.first += count, b.second += total;
    count_ += count;
}

double TBucketMedian::Median() const {
    if (count_ == 0) return -1;
    // The rows' median averages the values numbered (c + 1) / 2 and (c + 2) / 2, counting from 1.
    const qint64 low = (count_ + 1) / 2, high = (count_ + 2) / 2;
    double lowValue = -1, highValue = -1;
    qint64 seen = 0;
    for (const auto& [bucket, sum] : buckets_) {
        const double mean = sum.second / double(sum.first);
        if (seen < low && low <= seen + sum.first) lowValue = mean;
        if (seen < high && high <= seen + sum.first) {
            highValue = mean;
            break;
        }
        seen += sum.first;
    }
    return (lowValue + highValue) / 2;
}

}  // namespace HistoryRollup

// The plain summary's days from the sums: the counts by day, station, result and reason, each day's
// wire ratios by bucket, and the rows still to be forwarded (an index finds those few).
bool THistoryStore::SummarizeDays(const THistoryFilter& filter, THistorySummary& summary, bool& answered,
                                  QString& error) {
    bool days = false;
    if (HistoryRollup::DaysAnswer(filter, false) && !DaysFit(filter, true, days, error)) return false;
    answered = days || HistoryRollup::Answers(filter, true);
    if (!answered) return true;
    const bool sqlite = location_.Kind == THistoryLocation::TKind::Sqlite;
    auto select = [&](const QString& sql, const QVariantList& values, const std::function<void(const QSqlQuery&)>& each) {
        QSqlQuery q(QSqlDatabase::database(connection_, false));
        q.setForwardOnly(true);
        bool ok = q.prepare(sql);
        for (qsizetype i = 0; ok && i < values.size(); ++i) q.bindValue(static_cast<int>(i), values[i]);
        ok = ok && q.exec();
        while (ok && q.next()) each(q);
        if (!ok) error = Failure("cannot be summed up", q.lastError());
        return ok;
    };
    QVariantList values;
    const QString day = days ? "day" : HistoryRollup::LocalTime(true, sqlite, values);
    const QString where = days ? HistoryRollup::DayWhere(filter, values) : HistoryRollup::Where(filter, values);
    const QString table = days ? "job_rollup_day" : "job_rollup";
    std::map<std::pair<QString, QString>, HistoryRollup::TBucketMedian> wires;
    QVariantList pendingValues;
    QString pendingWhere = HistoryWhere(filter, pendingValues);
    pendingWhere = "forward_pending > 0" + (pendingWhere.isEmpty() ? QString() : " AND " + pendingWhere);
    const bool ok =
        select(QString("SELECT %1, station, result, reason, recipe, CASE WHEN recipe_key_id = '' THEN 0 ELSE 1 END, "
                       "SUM(n) FROM %3 WHERE %2 GROUP BY 1, 2, 3, 4, 5, 6")
                   .arg(day, where, table),
               values,
               [&](const QSqlQuery& q) {
                   summary.AddCount(QDate::fromString(q.value(0).toString(), Qt::ISODate), q.value(1).toString(),
                                    q.value(2).toString(), q.value(3).toString(), q.value(4).toString(),
                                    q.value(5).toInt() != 0, q.value(6).toLongLong());
               }) &&
        select(QString("SELECT %1, station, bucket, SUM(n), SUM(total) FROM %3_bucket WHERE %2 AND "
                       "measure = 'wire' GROUP BY 1, 2, 3")
                   .arg(day, where, table),
               values,
               [&](const QSqlQuery& q) {
                   wires[{q.value(0).toString(), q.value(1).toString()}].Add(
                       q.value(2).toLongLong(), q.value(3).toLongLong(), q.value(4).toDouble());
               }) &&
        // Without statistics SQLite takes an equality on the recipe's index over the pending mark's
        // range, and reads each of a recipe's million rows to find none pending.
        select(QString("SELECT COUNT(*) FROM job_record %1 WHERE ").arg(sqlite ? "INDEXED BY job_record_pending" : "") +
                   pendingWhere,
               pendingValues,
               [&](const QSqlQuery& q) { summary.AddPending(q.value(0).toLongLong()); });
    for (const auto& [key, median] : wires)
        summary.SetWireMedian(QDate::fromString(key.first, Qt::ISODate), key.second, median.Median());
    return ok;
}
