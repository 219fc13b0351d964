#include "history/RecorderSetup.h"

std::string RecordLocationProblem(const std::string& recordDb) {
    THistoryLocation location;
    QString parseError;
    if (recordDb.empty()) return {};
    if (!ParseHistoryLocation(QString::fromLocal8Bit(recordDb.c_str()), location, parseError))
        return parseError.toLocal8Bit().toStdString();
    const std::string problem = RecordStoreProblem(location);
    return problem.empty() ? problem : "the record database cannot be used: " + problem;
}

bool MakeJobRecorder(const std::string& recordDb, const std::string& programFolder, const TRecordContext& context,
                     std::unique_ptr<TJobRecorder>& recorder, std::string& error, bool checked) {
    const QString fallback = QString::fromLocal8Bit((programFolder + "history.sqlite").c_str());
    THistoryLocation location;
    QString parseError;
    const QString given = recordDb.empty() ? fallback : QString::fromLocal8Bit(recordDb.c_str());
    if (!ParseHistoryLocation(given, location, parseError)) {
        error = parseError.toLocal8Bit().toStdString();
        return false;
    }
    if (!checked) error = RecordLocationProblem(recordDb);
    if (!error.empty()) return false;
    recorder = std::make_unique<TJobRecorder>(location, fallback, context);
    return true;
}
