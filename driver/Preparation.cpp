#include "driver/Preparation.h"

#include <QEventLoop>
#include <QTimer>

namespace {

TJobPlan PreparationPlan(const std::string& file, int tickMs) {
    TJobPlan plan;
    plan.Job = TDriverJob::Prepare;
    plan.Name = "prepare";
    plan.FilePath = file;
    plan.TickMs = tickMs;
    plan.PrepareInMemory = true;
    return plan;
}

}  // namespace

TPreparation::TPreparation(const std::string& file, int tickMs, const std::string& programFolder, TStopSignals& stops,
                           QObject* context, TDone done)
    : context_(context), done_(std::move(done)), driver_(PreparationPlan(file, tickMs), *this, programFolder, stops) {}

TPreparation::TPreparation(const std::string& file, int tickMs, const std::string& programFolder, QObject* context,
                           TDone done)
    : context_(context), done_(std::move(done)), driver_(PreparationPlan(file, tickMs), *this, programFolder) {}

void TPreparation::Event(const TJobEvent& event) {
    if (const auto* r = std::get_if<TResultEvent>(&event)) result_ = r->Result;
    if (!std::holds_alternative<TPortEndEvent>(event)) return;
    // The driver is done with its listener only once this event returns.
    TSharedUpload prepared = result_.Kind == TResultKind::Prepared ? driver_.PreparedUpload() : nullptr;
    QTimer::singleShot(0, context_, [done = done_, result = result_, prepared] { done(result, prepared); });
}

TPreparedFirmware PrepareOnThisThread(const std::string& file, int tickMs, const std::string& programFolder,
                                      const TRecipe* pin) {
    // The loop first: it gives this thread the event dispatcher the driver's timers run on.
    QEventLoop loop;
    QObject context;
    TPreparedFirmware prepared;
    TPreparation preparation(file, tickMs, programFolder, &context, [&](const TJobResult& result, const TSharedUpload& upload) {
        prepared.Result = result;
        prepared.Upload = upload;
        loop.quit();
    });
    preparation.Begin();
    loop.exec();
    if (pin) prepared.Mismatch = PreparedFirmwareMismatch(*pin, prepared.Result);
    return prepared;
}
