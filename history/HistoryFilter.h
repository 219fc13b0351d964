// Which records a query reads back, and the dates and times an operator types to choose them.
#pragma once

#include <QDateTime>
#include <QString>

struct THistoryFilter {
    QDateTime Since;      // the first moment included; invalid = no lower bound
    QDateTime Before;     // the first moment no longer included; invalid = no upper bound
    QString UnitId;       // "" = any
    QString InputSha256;  // "" = any; compared without regard to case
    QString Result;       // "" = any; else one of RecordedKinds()
    int Limit = 0;        // newest N; 0 = all
    qint64 AfterId = 0;   // rows written after the row of this id only (history --follow); 0 = all
    bool PendingOnly = false;  // local rows still to be forwarded to the line's server
    QString Recipe;       // "" = any; else the recipe's file name
    QString SignedBy;     // "" = any; else the id of the key that signed the recipe
};

// "2026-01-05" (that day in local time), "2026-01-05 14:30", "2026-01-05T14:30:15" (local time) or
// either with "Z" or "+01:00". A lower bound is the moment given (a date's midnight); an upper
// bound includes the moment given (a date: the whole day). False for anything else.
bool ParseLowerTimeBound(const QString& text, QDateTime& since);
bool ParseUpperTimeBound(const QString& text, QDateTime& before);
