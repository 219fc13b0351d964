#include "history/HistoryFormat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace {

QString Printable(QString text) {
    for (QChar& c : text)
        if (c.category() == QChar::Other_Control) c = '?';
    return text;
}

// Left-aligned in `width` columns; a longer text is cut and ends in '~' so the columns hold.
QString Cell(const QString& text, int width) {
    const QString shown = Printable(text);
    if (shown.size() <= width) return shown.leftJustified(width);
    return shown.left(width - 1) + '~';
}

QString BlocksText(const TJobRecord& r) {
    return r.Blocks > 0 ? QString("%1/%2").arg(r.BlocksSent).arg(r.Blocks) : QString::number(r.BlocksSent);
}

// The port as the operator named it, short enough for its column: a long path by its last name,
// and a long name by its end, where by-path names differ ("~0:1.2:1.0-port0").
QString PortCell(const TJobRecord& r, int width) {
    QString shown = Printable(r.PortName.isEmpty() ? r.Device : r.PortName);
    if (shown.size() > width) shown = shown.section('/', -1);
    if (shown.size() <= width) return shown.leftJustified(width);
    return '~' + shown.right(width - 1);
}

QString UtcText(const QDateTime& t) { return t.toUTC().toString(Qt::ISODateWithMs); }

// Two decimals, never the locale's: 0.61, 18.25; "0" for one not measured.
QString RatioText(double value) { return value == 0 ? QString("0") : QString::number(value, 'f', 2); }

QStringList CsvValues(const TJobRecord& r) {
    auto n = [](qint64 v) { return QString::number(v); };
    return {n(r.Id), UtcText(r.Start), n(r.DurationMs), r.Station, r.User, r.ProgramVersion, r.Job, r.Device,
            r.DeviceById, r.AdapterSerial, n(r.ComPort), n(r.Baud), r.InputFile, n(r.InputSize), r.InputSha256,
            n(r.Blocks), r.FileChecksum, r.UnitChecksum, r.UnitVersion, r.UnitId, r.Result, r.Reason,
            r.Warnings.join('\n'), n(r.BlocksSent), r.CapturePath, r.RunId, r.RecordId, r.Recipe, r.RecipeSha256,
            r.UploadSha256, r.PortName, r.DeviceByPath, RatioText(r.WireRatio), RatioText(r.ReplyMedianMs),
            n(r.PortUnit), r.RecipeKeyId, n(r.FirstPass ? 1 : 0)};
}

const char* const kCsvNames[] = {
    "id", "start_utc", "duration_ms", "station", "user", "program_version", "job", "device", "device_by_id",
    "adapter_serial", "com_port", "baud", "input_file", "input_size", "input_sha256", "blocks", "file_checksum",
    "unit_checksum", "unit_version", "unit_id", "result", "reason", "warnings", "blocks_sent", "capture_path",
    "run_id", "record_id", "recipe", "recipe_sha256", "upload_sha256",
    "port_name", "device_by_path", "wire_ratio", "reply_median_ms", "port_unit", "recipe_key_id", "first_pass"};

// The median of `values` in two decimals, "-" for none.
QString MedianText(std::vector<double> values) {
    if (values.empty()) return "-";
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return RatioText(n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

}  // namespace

QString TableHeader() {
    return QString("%1  %2  %3  %4  %5  %6  %7  %8  %9\n")
        .arg(Cell("Start", 19), Cell("Job", 7), Cell("Unit", 16), Cell("Port", 16), Cell("Result", 19),
             Cell("Blocks", 11), Cell("Station", 16), Cell("File", 24), "Reason");
}

QString TableLine(const TJobRecord& r) {
    const QString start = r.Start.toLocalTime().toString("yyyy-MM-dd HH:mm:ss");
    QString line = QString("%1  %2  %3  %4  %5  %6  %7  %8  %9")
                       .arg(Cell(start, 19), Cell(r.Job, 7), Cell(r.UnitId, 16), PortCell(r, 16), Cell(r.Result, 19),
                            Cell(BlocksText(r), 11), Cell(r.Station, 16), Cell(r.InputFile.section('/', -1), 24),
                            Printable(r.Reason));
    while (line.endsWith(' ')) line.chop(1);
    return line + '\n';
}

QString CsvField(const QString& text) {
    if (!text.contains(',') && !text.contains('"') && !text.contains('\r') && !text.contains('\n')) return text;
    QString quoted = text;
    quoted.replace('"', "\"\"");
    return '"' + quoted + '"';
}

QString CsvHeader() {
    QStringList names;
    for (const char* name : kCsvNames) names << name;
    return names.join(',') + "\r\n";
}

bool LooksLikeFormula(const QString& text) {
    return !text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.front());
}

QString CsvLine(const TJobRecord& record) {
    QStringList fields;
    for (const QString& value : CsvValues(record)) fields << CsvField(LooksLikeFormula(value) ? "'" + value : value);
    return fields.join(',') + "\r\n";
}

QString JsonLine(const TJobRecord& r) {
    const QStringList values = CsvValues(r);
    QJsonObject o;
    for (qsizetype i = 0; i < values.size(); ++i) o.insert(kCsvNames[i], values[i]);
    for (const char* name : {"id", "duration_ms", "com_port", "baud", "input_size", "blocks", "blocks_sent", "port_unit"})
        o.insert(name, o.value(name).toString().toLongLong());
    o.insert("wire_ratio", r.WireRatio);
    o.insert("reply_median_ms", r.ReplyMedianMs);
    o.insert("first_pass", r.FirstPass);
    o.insert("warnings", QJsonArray::fromStringList(r.Warnings));
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + '\n';
}

void THistorySummary::Add(const TJobRecord& r) {
    const QDate date = r.Start.toLocalTime().date();
    if (r.ForwardPending) ++pending_;
    AddCount(date, r.Station, r.Result, r.Reason, r.Recipe, !r.RecipeKeyId.isEmpty(), 1);
    if (r.WireRatio > 0 && r.Result != QLatin1String("port_failed"))
        days_[{date, r.Station}].WireRatios.push_back(r.WireRatio);
}

void THistorySummary::AddCount(const QDate& date, const QString& station, const QString& result,
                               const QString& reason, const QString& recipe, bool recipeSigned, qint64 count) {
    TDay& day = days_[{date, station}];
    const int n = static_cast<int>(count);
    if (result == QLatin1String("port_failed")) {
        day.PortsNotOpened += n;
        day.Failures[{result, reason}] += n;
        return;
    }
    day.Units += n;
    if (IsSuccessKind(result)) {
        day.Loaded += n;
        (recipeSigned ? fromSigned_ : recipe.isEmpty() ? withoutRecipe_ : fromUnsigned_) += count;
        if (result == QLatin1String("verified")) day.Verified += n;
    } else {
        day.Failed += n;
        day.Failures[{result, reason}] += n;
    }
}

void THistorySummary::SetWireMedian(const QDate& date, const QString& station, double median) {
    days_[{date, station}].WireMedian = median;
}

QString THistorySummary::Text() const {
    QString text = QString("%1  %2  %3  %4  %5  %6  %7  %8\n")
                       .arg(Cell("Day", 10), Cell("Station", 16), "Units", "Loaded", "Verified", "Failed",
                            "Ports not opened", "Wire");
    for (const auto& [key, day] : days_) {
        text += QString("%1  %2  %3  %4  %5  %6  %7  %8\n")
                    .arg(key.first.toString(Qt::ISODate), Cell(key.second, 16))
                    .arg(day.Units, 5)
                    .arg(day.Loaded, 6)
                    .arg(day.Verified, 8)
                    .arg(day.Failed, 6)
                    .arg(day.PortsNotOpened, 16)
                    .arg(day.WireRatios.empty() && day.WireMedian >= 0 ? RatioText(day.WireMedian)
                                                                       : MedianText(day.WireRatios),
                         4);
        for (const auto& [why, count] : day.Failures)
            text += QString("    %1  %2  %3\n").arg(count, 5).arg(Cell(why.first, 19), Printable(why.second));
    }
    // Said only where recipes are run at all: a line that never ran one has nothing to learn here.
    if (fromUnsigned_ + fromSigned_ > 0)
        text += QString("Loaded from unsigned recipes: %1 (from signed recipes: %2, without a recipe: %3)\n")
                    .arg(fromUnsigned_)
                    .arg(fromSigned_)
                    .arg(withoutRecipe_);
    if (pending_ > 0)
        text += QString("%1 %2 not yet forwarded to the line's server (zupflshc history --sync)\n")
                    .arg(pending_)
                    .arg(pending_ == 1 ? "record here is" : "records here are");
    return text;
}

bool RecordFromJson(const QByteArray& line, TJobRecord& r) {
    QJsonParseError parsed;
    const QJsonObject o = QJsonDocument::fromJson(line, &parsed).object();
    if (parsed.error != QJsonParseError::NoError || o.isEmpty()) return false;
    auto text = [&](const char* name) { return o.value(name).toString(); };
    auto number = [&](const char* name) { return o.value(name).toVariant().toLongLong(); };
    r = TJobRecord();
    r.Start = QDateTime::fromString(text("start_utc"), Qt::ISODateWithMs);
    r.DurationMs = number("duration_ms");
    r.Station = text("station"), r.User = text("user"), r.ProgramVersion = text("program_version");
    r.Job = text("job"), r.Device = text("device"), r.DeviceById = text("device_by_id");
    r.AdapterSerial = text("adapter_serial");
    r.ComPort = static_cast<int>(number("com_port")), r.Baud = static_cast<int>(number("baud"));
    r.InputFile = text("input_file"), r.InputSize = number("input_size"), r.InputSha256 = text("input_sha256");
    r.Blocks = static_cast<int>(number("blocks"));
    r.FileChecksum = text("file_checksum"), r.UnitChecksum = text("unit_checksum");
    r.UnitVersion = text("unit_version"), r.UnitId = text("unit_id");
    r.Result = text("result"), r.Reason = text("reason");
    for (const QJsonValue& w : o.value("warnings").toArray()) r.Warnings << w.toString();
    r.BlocksSent = static_cast<int>(number("blocks_sent"));
    r.CapturePath = text("capture_path"), r.RunId = text("run_id"), r.RecordId = text("record_id");
    r.Recipe = text("recipe"), r.RecipeSha256 = text("recipe_sha256");
    r.UploadSha256 = text("upload_sha256");
    r.PortName = text("port_name"), r.DeviceByPath = text("device_by_path");
    r.WireRatio = o.value("wire_ratio").toDouble(), r.ReplyMedianMs = o.value("reply_median_ms").toDouble();
    r.PortUnit = static_cast<int>(number("port_unit"));
    r.FirstPass = o.value("first_pass").toBool(true);
    r.RecipeKeyId = text("recipe_key_id");
    return r.Start.isValid() && !r.RecordId.isEmpty() && IsResultKind(r.Result);
}
