// One row of the production record: which firmware went into which unit, when, from which station,
// and how the job ended.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <array>

struct TJobRecord {
    qint64 Id = 0;  // the row's id once written; 0 for a record not yet kept

    QDateTime Start;      // when the job began (kept in UTC, to the millisecond)
    qint64 DurationMs = 0;
    QString Station;      // the host name
    QString User;
    QString ProgramVersion;
    QString Job;          // "upload" or "factory"

    QString PortName;      // the port as the operator named it: "COM 3", or the device path as given
    QString Device;        // the device that was opened (what the name led to)
    QString DeviceById;    // its /dev/serial/by-id name, "" when it has none
    QString DeviceByPath;  // its /dev/serial/by-path name (the USB slot), "" when it has none
    QString AdapterSerial; // the USB adapter's serial number, "" when it has none
    int ComPort = 0;       // COM n when one was used, 0 for --device
    int Baud = 0;

    QString InputFile;     // absolute path; "" for the factory job
    qint64 InputSize = 0;
    QString InputSha256;   // lower-case hex
    QString UploadSha256;  // of the upload's blocks as sent, lower-case hex; "" for the factory job
    int Blocks = 0;
    QString FileChecksum;
    QString UnitChecksum;
    QString UnitVersion;   // the unit's software version, as it reported it
    QString UnitId;        // what the operator gave, "" otherwise

    QString Result;        // one of RecordedKinds()
    QString Reason;
    QStringList Warnings;
    int BlocksSent = 0;
    QString CapturePath;   // "" when capture was off
    QString RunId;         // shared by the units of one command; may be ""
    QString RecordId;      // the record's own identity (a UUID made when the job starts)
    QString Recipe;        // the recipe's file name, "" when none was run
    QString RecipeSha256;  // the SHA-256 of the recipe's content
    double WireRatio = 0;       // an upload's pace against the wire's floor, 0 when not measured
    double ReplyMedianMs = 0;   // the median delay of the unit's replies after a block, 0 when not measured
    int PortUnit = 0;           // the unit's number on its port in its run, 0 outside a run
    bool FirstPass = true;      // not a unit given its id again after a failure (set by the database)
    QString RecipeKeyId;   // the id of the key that signed the recipe, "" when it was not (validly) signed
    bool ForwardPending = false;  // a station's local row that the line's server does not hold yet

    bool operator==(const TJobRecord&) const = default;
};

// Every way a recorded job can end, as the record spells it: the result kinds' names (a
// preparation, which leaves no record, aside).
QStringList RecordedKinds();
bool IsResultKind(const QString& text);
// The unit holds what it was sent: an upload verified or sent without verification (a small one),
// or a factory job completed. Everything else leaves the unit to be done again.
bool IsSuccessKind(const QString& kind);
