// Several station processes writing to one record at the same moment (support/HistoryWriter.cpp),
// and how many records each unit has afterwards.
#pragma once

#include <QProcess>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include "history/HistoryStore.h"

// Starts one writer per tag, lets them all go at once, waits for every one to end.
inline void RunWritersAtOnce(const QString& location, const QStringList& tags, int count) {
    std::vector<std::unique_ptr<QProcess>> writers;
    for (const QString& tag : tags) {
        writers.push_back(std::make_unique<QProcess>());
        writers.back()->start(ZUP_HISTORY_WRITER, {location, tag, QString::number(count)});
        ASSERT_TRUE(writers.back()->waitForStarted());
    }
    for (auto& w : writers) {
        w->write("go\n");
        w->closeWriteChannel();
    }
    for (auto& w : writers) {
        ASSERT_TRUE(w->waitForFinished(300000));
        EXPECT_EQ(w->exitCode(), 0) << w->readAllStandardError().toStdString();
    }
}

// The ids of the unit's records, newest first.
inline std::vector<qint64> UnitRecordIds(THistoryStore& store, const QString& unit) {
    THistoryFilter filter;
    filter.UnitId = unit;
    std::vector<qint64> ids;
    QString error;
    EXPECT_TRUE(store.Query(filter, [&](const TJobRecord& r) { ids.push_back(r.Id); }, error))
        << error.toStdString();
    return ids;
}
