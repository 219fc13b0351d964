#include "engine/JobEvents.h"

#include "engine/JobOutput.h"
#include "engine/States.h"

TStage StageOf(int32_t state) {
    using namespace State;
    switch (state) {
    case Idle: return TStage::Idle;
    case OpenPort:
    case AwaitOpen:
    case FactoryPortFailed:
    case ReportPort:
    case FactoryPortOpen: return TStage::OpeningPort;
    case UnknownExtension:
    case EmptyBinary:
    case HexToBinary:
    case CheckUploadFile:
    case BuildUploadFile: return TStage::Preparing;
    case ReadyScreen: return TStage::Ready;
    case FirstWakeUp:
    case AwaitReady: return TStage::WakingUnit;
    case StartTransfer:
    case AwaitRequest:
    case RequestArrived:
    case Silence: return TStage::Sending;
    case SendUploadDone:
    case AwaitThankYou:
    case TransferDone: return TStage::Finishing;
    case AwaitRestart: return TStage::Restarting;
    case SendSwrQuery:
    case AwaitSwr:
    case SendFcsQuery:
    case AwaitFcs:
    case CompareChecksums: return TStage::Verifying;
    case Complete: return TStage::Complete;
    case Halted:
    case TimedOut:
    case FactoryComplete: return TStage::Ending;
    case SendZeroByte:
    case AwaitIdent: return TStage::Identifying;
    case SendLoader1:
    case AwaitLoader1:
    case SendLoader2:
    case AwaitLoader2: return TStage::SendingLoaders;
    case AwaitRecordAck: return TStage::SendingBootstrap;
    default:
        // GO and the erase (54 to 60), the speed change and the FlashCode image (571 to 576).
        return state >= SendGo && state <= ShowErrorBlock ? TStage::Erasing : TStage::PreparingFlashCode;
    }
}

const char* StageName(TStage stage) {
    static const char* const names[] = {"idle",      "opening_port", "preparing", "ready",      "waking_unit",
                                        "erasing",   "sending",      "finishing", "restarting", "verifying",
                                        "complete",  "ending",       "identifying", "sending_loaders",
                                        "sending_bootstrap", "preparing_flashcode"};
    return names[static_cast<int>(stage)];
}

const char* OperatorStepName(TOperatorStep step) {
    static const char* const names[] = {"none", "choose_file", "start_upload", "switch_unit_on", "fit_jumpers",
                                        "remove_jumpers", "unit_id"};
    return names[static_cast<int>(step)];
}

// ---- the engine's output ----

void TJobOutput::SetLine(TLine line, const std::string& text, bool windowOnly, bool closing) {
    std::string& now = lines_[static_cast<size_t>(line)];
    if (now == text) return;
    now = text;
    listener_.Event(TTextEvent{line, text, windowOnly, closing});
}

void TJobOutput::Awaiting(TOperatorStep step) {
    if (step == awaited_) return;
    awaited_ = step;
    listener_.Event(TAwaitingEvent{step});
}

void TJobOutput::StateNow(int32_t state) {
    if (state == state_) return;
    state_ = state;
    listener_.Event(TStateEvent{state});
    const TStage stage = StageOf(state);
    if (stage == stage_) return;
    stage_ = stage;
    listener_.Event(TStageEvent{stage});
}
