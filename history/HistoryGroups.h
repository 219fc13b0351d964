// `history --summary --by`: the record's yield over time and place, grouped by port, station, recipe,
// day or hour (one or several), worked out by the database, and shown as a table, CSV or JSON.
#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <vector>

enum class TGroupKey { Port, Station, Recipe, Day, Hour };

// "station,day" to its keys; false with `error` for an unknown or repeated one.
bool ParseGroupKeys(const QString& text, std::vector<TGroupKey>& keys, QString& error);
const char* GroupKeyName(TGroupKey key);

// One group's figures. A unit is a record whose port opened; a first pass is a unit not given its
// id again after a failure.
struct TGroupRow {
    QStringList Keys;  // in the order of the keys asked for
    qint64 Units = 0, Loaded = 0, FirstPass = 0, FirstPassLoaded = 0;
    std::map<QString, qint64> Failures;  // result kind -> records (a port that did not open: port_failed)
    double MedianDurationMs = -1;        // -1 when the group has no unit
    double MedianWireRatio = -1;         // over the uploads whose pace was measured, -1 when none
    // Loaded first passes over first passes, -1 when none.
    double FirstPassYield() const { return FirstPass > 0 ? double(FirstPassLoaded) / double(FirstPass) : -1; }
};

QString GroupTable(const std::vector<TGroupKey>& keys, const std::vector<TGroupRow>& rows);
QString GroupCsv(const std::vector<TGroupKey>& keys, const std::vector<TGroupRow>& rows);
// One JSON object a group, a line each.
QString GroupJson(const std::vector<TGroupKey>& keys, const std::vector<TGroupRow>& rows);
