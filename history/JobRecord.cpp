#include "history/JobRecord.h"

#include "engine/JobResult.h"

QStringList RecordedKinds() {
    QStringList kinds;
    for (const std::string& name : ResultKindNames())
        if (name != ResultKindName(TResultKind::Prepared)) kinds << QString::fromStdString(name);
    return kinds;
}

bool IsResultKind(const QString& text) { return RecordedKinds().contains(text); }

bool IsSuccessKind(const QString& kind) {
    TResultKind k{};
    return ResultKindFromName(kind.toStdString(), k) && KindSucceeded(k);
}
