// A firmware file prepared on its own, by a job driver of its own, before any port opens, in memory
// only (nothing is written beside the firmware): a station then gives every port that upload, which
// each sends as it stands for every unit, and no file is read again.
#pragma once

#include <QObject>
#include <functional>
#include <string>

#include "driver/JobDriver.h"
#include "driver/Recipe.h"

class TPreparation : private TJobListener {
public:
    // `done` gets the preparation's result and the upload it made (nullptr when it failed); it is
    // called from the event loop once the driver is done with its listener, with `context` (which
    // must outlive this) as its receiver, so it may destroy this.
    using TDone = std::function<void(const TJobResult& result, const TSharedUpload& prepared)>;
    TPreparation(const std::string& file, int tickMs, const std::string& programFolder, TStopSignals& stops,
                 QObject* context, TDone done);
    // Without the process's stop signals (a worker thread's preparation, which runs to its end).
    TPreparation(const std::string& file, int tickMs, const std::string& programFolder, QObject* context, TDone done);

    void Begin() { driver_.Begin(); }

private:
    void Event(const TJobEvent& event) override;

    QObject* context_;
    TDone done_;
    TJobDriver driver_;
    TJobResult result_;
};

// A preparation run to its end on the calling thread, on an event loop of its own: a worker
// thread's, so that no window waits while a file of up to 64 MiB is read, converted and digested.
// With a recipe, the file is read once: what was prepared is what is checked against its pin.
struct TPreparedFirmware {
    TJobResult Result;
    TSharedUpload Upload;  // nullptr when it failed
    std::string Mismatch;  // why it is not the firmware the recipe pins, "" when it is (or no recipe)
};
TPreparedFirmware PrepareOnThisThread(const std::string& file, int tickMs, const std::string& programFolder,
                                      const TRecipe* pin = nullptr);
