// Checks that a store's sums answer `history --summary` (plain and by group) as its rows do:
// the same groups and counts, medians within a bucket.
#pragma once

#include <gtest/gtest.h>

#include "history/HistoryFormat.h"
#include "history/HistoryGroups.h"
#include "history/HistoryStore.h"

// A unit's record as the sums tests file it: on 2 March 2026 at a quarter past `hour`, those of 9
// o'clock from a signed recipe.
struct TSumsJob {
    const char* station;
    const char* port;
    int hour;
    const char* unit;
    const char* result;
    qint64 ms;
    double wire;
};

inline TJobRecord SumsRecord(const TSumsJob& job) {
    TJobRecord r;
    r.Start = QDateTime(QDate(2026, 3, 2), QTime(job.hour, 15));
    r.Job = "upload", r.Station = job.station, r.PortName = job.port, r.Result = job.result, r.UnitId = job.unit;
    r.DurationMs = job.ms, r.WireRatio = job.wire;
    if (job.hour == 9) r.RecipeKeyId = "00aa11bb22cc33dd";
    return r;
}

inline void ExpectSumsAsRows(THistoryStore& store, const THistoryFilter& filter, const char* what) {
    SCOPED_TRACE(what);
    QString error;
    for (const char* by : {"port", "station,day", "hour,port", "recipe"}) {
        std::vector<TGroupKey> keys;
        ASSERT_TRUE(ParseGroupKeys(by, keys, error));
        std::vector<TGroupRow> sums, rows;
        ASSERT_TRUE(store.Summarize(filter, keys, sums, error)) << error.toStdString();
        ASSERT_TRUE(store.Summarize(filter, keys, rows, error, true)) << error.toStdString();
        ASSERT_EQ(sums.size(), rows.size()) << by;
        for (size_t i = 0; i < rows.size(); ++i) {
            const TGroupRow &s = sums[i], &r = rows[i];
            EXPECT_EQ(s.Keys, r.Keys) << by;
            EXPECT_EQ(QList<qint64>({s.Units, s.Loaded, s.FirstPass, s.FirstPassLoaded}),
                      QList<qint64>({r.Units, r.Loaded, r.FirstPass, r.FirstPassLoaded}))
                << by << " " << r.Keys.join(' ').toStdString();
            EXPECT_EQ(s.Failures, r.Failures) << by;
            EXPECT_NEAR(s.MedianDurationMs, r.MedianDurationMs, 1000) << by;
            EXPECT_NEAR(s.MedianWireRatio, r.MedianWireRatio, 0.01) << by;
        }
    }
    THistorySummary fromSums, fromRows;
    bool answered = false;
    ASSERT_TRUE(store.SummarizeDays(filter, fromSums, answered, error)) << error.toStdString();
    ASSERT_TRUE(store.Query(filter, [&](const TJobRecord& r) { fromRows.Add(r); }, error)) << error.toStdString();
    if (answered) {
        EXPECT_EQ(fromSums.Text().toStdString(), fromRows.Text().toStdString());
    }
}
