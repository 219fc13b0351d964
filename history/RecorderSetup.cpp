#include "history/RecorderSetup.h"

bool MakeJobRecorder(const std::string& recordDb, const std::string& programFolder, const TRecordContext& context,
                     std::unique_ptr<TJobRecorder>& recorder, std::string& error) {
    const QString fallback = QString::fromLocal8Bit((programFolder + "history.sqlite").c_str());
    THistoryLocation location;
    QString parseError;
    const QString given = recordDb.empty() ? fallback : QString::fromLocal8Bit(recordDb.c_str());
    if (!ParseHistoryLocation(given, location, parseError)) {
        error = parseError.toLocal8Bit().toStdString();
        return false;
    }
    if (!recordDb.empty()) {
        const std::string problem = RecordStoreProblem(location);
        if (!problem.empty()) {
            error = "the record database cannot be used: " + problem;
            return false;
        }
    }
    recorder = std::make_unique<TJobRecorder>(location, fallback, context);
    return true;
}
