#include "history/JobRecord.h"

bool IsResultKind(const QString& text) {
    for (const char* kind : kResultKinds)
        if (text == QLatin1String(kind)) return true;
    return false;
}

bool IsSuccessKind(const QString& kind) {
    return kind == QLatin1String("verified") || kind == QLatin1String("sent") ||
           kind == QLatin1String("factory_complete");
}
