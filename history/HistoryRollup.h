// The record summed up as it is kept, so `history --summary` over a million records reads a few
// thousand rows: per station, port, recipe (and its signing key), UTC hour, result, reason and first pass, the records'
// count; and per station, port, recipe, hour and result the durations and wire ratios in fixed buckets, from
// which medians are read. The same again per local day, coarser, for the questions asked by day.
// Used by the store alone.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <map>
#include <utility>

#include "history/HistoryFilter.h"
#include "history/HistorySchema.h"

namespace HistoryRollup {

// A median read from the buckets is within one bucket of the rows' own: 1 s of a duration, 0.001 of
// a wire ratio (and exact when the values in each bucket are equal: a bucket's mean stands for them).
constexpr int kDurationBucketMs = 1000;
constexpr int kWireBucketsPerUnit = 1000;

// The tables, filled from the rows already kept, and what keeps them in step with every new row in
// the same transaction (a trigger, so every writer of the database keeps them, old or new).
QStringList Create(HistorySchema::TDialect dialect);

// Whether the sums answer `filter` exactly: its bounds on whole hours and nothing asked of single
// records (a unit, a file, an id, a mark, the newest N); and, when local days or hours are asked for, a local zone
// whose offsets are whole hours, so each UTC hour lies in one local hour.
bool Answers(const THistoryFilter& filter, bool localTime);
// The filter on the sums' columns ("1 = 1" for none), its values in order.
QString Where(const THistoryFilter& filter, QVariantList& values);
// The local day ("YYYY-MM-DD") or hour ("YYYY-MM-DD HH:00") of a sum's hour; on the server the
// zone's name is a value bound in order.
QString LocalTime(bool day, bool sqlite, QVariantList& values);

// The middle of a group's values from its buckets: the middle one or two values, each taken as the
// mean of its bucket, averaged as the rows' median would be.
// The day sums: per station, port, recipe (and key), the local day the writer's zone gave the
// record and that zone's offset from UTC then, result, reason and first pass; their buckets are
// 1 s of a duration and 0.01 of a wire ratio, so a line's month is a few tens of thousands of rows.
constexpr int kDayWireBucketsPerUnit = 100;
QStringList CreateDays(HistorySchema::TDialect dialect);
// Whether the day sums can answer `filter` (no hour asked for): bounds on local midnights, nothing
// asked of single records. The days' zones are checked against this one's by DayInZone.
bool DaysAnswer(const THistoryFilter& filter, bool hours);
QString DayWhere(const THistoryFilter& filter, QVariantList& values);
// Whether a local day and the offset its records were filed under belong to this process's zone.
bool DayInZone(const QString& day, qint64 utcOffset);

class TBucketMedian {
public:
    void Add(qint64 bucket, qint64 count, double total);
    double Median() const;  // -1 when nothing was added

private:
    std::map<qint64, std::pair<qint64, double>> buckets_;  // bucket -> (count, sum of its values)
    qint64 count_ = 0;
};

}  // namespace HistoryRollup
