// A firmware file prepared on its own, by a job driver of its own, before any port opens, in memory
// only (nothing is written beside the firmware): a station then gives every port that upload, which
// each sends as it stands for every unit, and no file is read again.
#pragma once

#include <QObject>
#include <functional>
#include <string>

#include "driver/JobDriver.h"

class TPreparation : private TJobListener {
public:
    // `done` gets the preparation's result and the upload it made (nullptr when it failed); it is
    // called from the event loop once the driver is done with its listener, with `context` (which
    // must outlive this) as its receiver, so it may destroy this.
    using TDone = std::function<void(const TJobResult& result, const TSharedUpload& prepared)>;
    TPreparation(const std::string& file, int tickMs, const std::string& programFolder, TStopSignals& stops,
                 QObject* context, TDone done);

    void Begin() { driver_.Begin(); }

private:
    void Event(const TJobEvent& event) override;

    QObject* context_;
    TDone done_;
    TJobDriver driver_;
    TJobResult result_;
};
