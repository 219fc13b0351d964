#include "history/ResultRecord.h"

#include <QSysInfo>
#include <pwd.h>
#include <unistd.h>

#include "history/HistoryStore.h"
#include "host/PortSource.h"

namespace {

QString Local(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())); }
// What the unit said is its bytes, not the locale's text.
QString FromUnit(const std::string& text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }

QString LoginName() {
    if (const passwd* pw = ::getpwuid(::geteuid())) return QString::fromLocal8Bit(pw->pw_name);
    return QString::number(::geteuid());
}

}  // namespace

TRecordContext StationContext(const QString& programVersion) {
    TRecordContext c;
    c.Station = QSysInfo::machineHostName();
    c.User = LoginName();
    c.ProgramVersion = programVersion;
    return c;
}

TJobRecord RecordOf(const TJobResult& r, const TRecordContext& c, TPortSource* ports) {
    TJobRecord row;
    row.Start = QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(r.Started.time_since_epoch()).count(), Qt::UTC);
    row.DurationMs = r.Duration.count();
    row.Station = c.Station;
    row.User = c.User;
    row.ProgramVersion = c.ProgramVersion;
    row.Job = JobName(r.Job);
    row.Device = Local(r.Device);
    if (TPortInfo p; ports && ports->Find(r.Device, p)) {
        row.DeviceById = Local(p.ById);
        row.AdapterSerial = Local(p.UsbSerial);
    }
    row.ComPort = r.ComPort;
    row.Baud = r.Baud;
    row.InputFile = Local(r.InputFile);
    row.InputSize = r.InputSize < 0 ? 0 : r.InputSize;
    row.InputSha256 = QString::fromStdString(r.InputSha256);
    row.Blocks = r.BlockCount;
    row.FileChecksum = FromUnit(r.FileChecksum);
    row.UnitChecksum = FromUnit(r.UnitChecksum);
    row.UnitVersion = FromUnit(r.UnitVersion);
    row.UnitId = c.UnitId;
    row.Result = ResultKindName(r.Kind);
    row.Reason = Local(r.Reason);
    for (const std::string& w : r.Warnings) row.Warnings << Local(w);
    row.BlocksSent = r.BlocksSent;
    row.CapturePath = Local(r.CaptureFile);
    row.RunId = c.RunId;
    return row;
}

TJobRecorder::TJobRecorder(const THistoryLocation& location, const QString& fallbackPath, TRecordContext context)
    : location_(location), fallbackPath_(fallbackPath), context_(std::move(context)) {}

std::string TJobRecorder::Keep(const TJobResult& result, TPortSource* ports) {
    try {
        const TKeepResult kept = KeepJobRecord(location_, fallbackPath_, RecordOf(result, context_, ports));
        return kept.Message.toLocal8Bit().toStdString();
    } catch (const std::exception& e) {
        return std::string("the record was not kept: ") + e.what();
    }
}

std::string RecordStoreProblem(const THistoryLocation& location) {
    QString error;
    if (THistoryStore::Open(location, error)) return {};
    return error.toLocal8Bit().toStdString();
}
