// What the engine tells while a job runs, as typed events the front ends get. Facts (the stage, what
// the operator is awaited for, progress as numbers, warnings, the result) are what front ends act
// on; the operator's texts (the screens' lines, their colours, the buttons on offer, the history)
// are events too, drawn by the window and printed by the command line, and nothing ever decides
// anything from them. Only what the engine itself sends is declared here: the job driver passes
// these on in its own stream, with the facts of its port (driver/DriverEvents.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

#include "engine/JobResult.h"

// ---- the operator's texts ----

// The status lines of the two job screens, by role.
enum class TLine {
    PortStatus,      // the port report, the preparation result, the unit's checksum
    FileStatus,      // the file being prepared, the block count, the file's checksum
    Headline,        // "THE UNIT MUST BE OFF", "Software Upload complete", the verdict
    Instruction,     // what the operator does next, the elapsed time
    Activity,        // what the dialogue is doing: erase, block n of m, a timeout
    Footer,          // "DO NOT INTERRUPT UPLOAD", "Program complete. ..."
    JumperNote,      // factory: the jumpers to fit or remove
    FactoryPrompt,   // factory: what to do next
    FactoryEstimate, // factory: how long it will take
    ForceRs232,      // factory: the JP3 hint
};
constexpr int kLineCount = 10;

enum class TColour { Black, Blue, Red, Green };

// The window's buttons and its run panel.
enum class TOffer { ChooseFile, StartRun, GoOn, RepeatUpload, BackToStart, RunPanel };

// A line's new text. `WindowOnly`: an instruction that names a control of the window ("Click on
// <Start Upload> button"); other front ends say what to do from the awaited step instead.
// `Closing`: the job's closing line (the time it took), which the result says too: a front end
// may say it in words of its own.
struct TTextEvent {
    TLine Line;
    std::string Text;
    bool WindowOnly = false;
    bool Closing = false;
};
// A colour, and a point size when `Points` is not 0.
struct TStyleEvent {
    TLine Line;
    TColour Colour;
    int Points = 0;
};
struct TLineShownEvent {
    TLine Line;
    bool Shown;
};
struct TOfferEvent {
    TOffer What;
    bool Offered;
};
struct TGaugeShownEvent {
    bool Shown;
};
// The factory job's history: started afresh with one line, a line added, the last line replaced.
struct THistoryEvent {
    enum class TOp { Reset, Add, ReplaceLast };
    TOp Op;
    std::string Text;
    bool Closing = false;  // as for a line's text
};
// The job's closing line has been shown (the time taken, Closing): `Succeeded` when the job is
// about to end as a success.
struct TTimeTakenEvent {
    TJob Job;
    std::chrono::milliseconds Taken;
    bool Succeeded;
};
// A failure the operator must acknowledge (a message box in the window). `EndsJob`: the job ends
// with this text as its result's reason.
struct TMessageEvent {
    std::string Text;
    bool EndsJob = false;
};

// ---- facts ----

// The state number the capture file shows as "[pn]", whenever it changed.
struct TStateEvent {
    int32_t State;
};

enum class TStage {
    Idle,                // nothing runs
    OpeningPort,
    Preparing,           // the firmware file becomes the upload
    Ready,               // prepared, the unit off, Start not yet given
    WakingUnit,          // the wake-up goes out until the boot code answers
    Erasing,             // GO given: from here on the unit is being written
    Sending,             // the blocks
    Finishing,           // the end of the transfer and the unit's thanks
    Restarting,          // the unit restarts before its checksum is asked
    Verifying,           // the unit's version and checksum
    Complete,            // the dialogue ran to its end; the result follows
    Ending,              // halted or timed out; the result follows
    Identifying,         // factory: the C161's answer to the zero byte
    SendingLoaders,      // factory: loaders 1 and 2
    SendingBootstrap,    // factory: the bootstrap records
    PreparingFlashCode,  // factory: the speed change and the FlashCode image
};
struct TStageEvent {
    TStage Stage;
};

// What the job waits for the operator to do.
enum class TOperatorStep {
    None,
    ChooseFile,     // the port is open: the firmware file
    StartUpload,    // prepared, with the unit off: Start
    SwitchUnitOn,   // the wake-up goes out until the unit is switched on
    FitJumpers,     // factory: JP1 and JP2 on, the unit switched on, then go on
    RemoveJumpers,  // factory: done; jumpers off, then the main software is uploaded
    UnitId,         // a line that names every unit: the next unit's id, before it is woken
};
struct TAwaitingEvent {
    TOperatorStep Step;
};

// The unit answered its wake-up (the boot code's READY, or the C161's identification byte), told
// at the moment the answer is read, for every wake-up that is answered: from here on the unit on
// the line is the one this run loads. A wake-up that runs out never tells it.
struct TUnitAnsweredEvent {};

// The blocks of an upload: 0 of `Total` when it starts, then once per block sent.
struct TProgressEvent {
    int Sent;
    int Total;
};
// Something the job met that did not stop it; it is in the result's warnings too.
struct TWarningEvent {
    std::string Text;
};
struct TCaptureEvent {
    bool On;
};
// The end of a job (a preparation included), once, whichever way it ended.
struct TResultEvent {
    TJobResult Result;
};

using TEngineEvent =
    std::variant<TTextEvent, TStyleEvent, TLineShownEvent, TOfferEvent, TGaugeShownEvent, THistoryEvent, TMessageEvent,
                 TTimeTakenEvent, TStateEvent, TStageEvent, TAwaitingEvent, TUnitAnsweredEvent, TProgressEvent,
                 TWarningEvent, TCaptureEvent, TResultEvent>;

// The engine's one listener: the job driver, or a test's recording view.
class TEngineListener {
public:
    virtual ~TEngineListener() = default;
    virtual void Event(const TEngineEvent& event) = 0;
};

// For std::visit over the events with one lambda per type.
template <class... F>
struct TOverload : F... {
    using F::operator()...;
};
template <class... F>
TOverload(F...) -> TOverload<F...>;

// The stage a state belongs to.
TStage StageOf(int32_t state);
const char* StageName(TStage stage);
const char* OperatorStepName(TOperatorStep step);
