// The production record on a PostgreSQL server: run by tools/with-postgres, which starts a
// throw-away cluster and sets ZUP_TEST_PG to it; skipped without one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "history/HistoryFormat.h"
#include "history/HistoryStore.h"
#include "support/HistoryWriters.h"

namespace {

QString Server() { return QString::fromLocal8Bit(std::getenv("ZUP_TEST_PG")); }

#define NEEDS_SERVER()                                                                          \
    if (Server().isEmpty()) GTEST_SKIP() << "ZUP_TEST_PG is not set (tools/with-postgres CMD " \
                                            "runs CMD against a throw-away server)"

}  // namespace

TEST(HistoryPostgres, ARecordComesBackWithEveryField) {
    NEEDS_SERVER();
    QString error;
    auto store = THistoryStore::Open(Server(), error);
    ASSERT_TRUE(store) << error.toStdString();
    EXPECT_EQ(store->SchemaVersion(), 3);
    TJobRecord r;
    r.Start = QDateTime(QDate(2026, 1, 5), QTime(13, 5, 9, 123), Qt::UTC);
    r.Job = "upload", r.Station = "line1-st2", r.Result = "checksums_different";
    r.UnitId = "pg-roundtrip-" + QString::number(QDateTime::currentMSecsSinceEpoch());
    r.UnitChecksum = QString::fromLatin1("3F\0A", 4);
    r.Warnings = {"a, \"b\"", "two\nlines"};
    r.InputSize = 5000000000;
    ASSERT_TRUE(store->Write(r, error, &r.Id)) << error.toStdString();
    EXPECT_GT(r.Id, 0);
    THistoryFilter filter;
    filter.UnitId = r.UnitId;
    std::vector<TJobRecord> read;
    ASSERT_TRUE(store->Query(filter, read, error)) << error.toStdString();
    ASSERT_EQ(read.size(), 1u);
    r.UnitChecksum = QString("3F") + QChar(0xFFFD) + "A";
    EXPECT_EQ(JsonLine(read[0]).toStdString(), JsonLine(r).toStdString());
}

TEST(HistoryPostgres, TwoProcessesWritingAtOnceLoseNothing) {
    NEEDS_SERVER();
    const QString run = QString::number(QDateTime::currentMSecsSinceEpoch());
    const QStringList units = {"pg-a-" + run, "pg-b-" + run};
    RunWritersAtOnce(Server(), units, 200);
    QString error;
    auto store = THistoryStore::Open(Server(), error);
    ASSERT_TRUE(store) << error.toStdString();
    std::set<qint64> ids;
    for (const QString& unit : units) {
        const std::vector<qint64> unitIds = UnitRecordIds(*store, unit);
        EXPECT_EQ(unitIds.size(), 200u);
        ids.insert(unitIds.begin(), unitIds.end());
    }
    EXPECT_EQ(ids.size(), 400u);
}
