// What the engine of both jobs tells its views: the texts the operator reads, progress as numbers,
// and at the end what happened. The window draws the texts with widgets, the command line prints
// them, a test records them; what a job came to is only ever read from its result. Texts are byte
// strings as the operator sees them; a view only converts them (Latin-1) for its medium.
#pragma once

#include <string>

#include "engine/JobResult.h"

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

enum class TColour { Black, Blue, Red, Green };

// What the operator may do next, and the panel of the run.
enum class TOffer { ChooseFile, StartRun, GoOn, RepeatUpload, BackToStart, RunPanel };

class TSequencerView {
public:
    virtual ~TSequencerView() = default;
    virtual void SetLine(TLine line, const std::string& text) = 0;
    // Colour, and a point size when `points` is not 0.
    virtual void StyleLine(TLine line, TColour colour, int points = 0) = 0;
    virtual void ShowLine(TLine line, bool shown) = 0;
    // Detail kept out of the operator's text (the system's reason a port did not open).
    virtual void SetLineHint(TLine line, const std::string& hint) = 0;
    virtual void Offer(TOffer what, bool offered) = 0;
    // The blocks of an upload: 0 of `total` when it starts, then once per block sent. The window
    // shows it as its gauge and as the text BlockProgressText gives.
    virtual void Progress(int sent, int total) = 0;
    virtual void ShowGauge(bool shown) = 0;
    // The factory job's history: started afresh with one line, a line added, the last line replaced.
    virtual void HistoryReset(const std::string& line) = 0;
    virtual void HistoryAdd(const std::string& line) = 0;
    virtual void HistoryReplaceLast(const std::string& line) = 0;
    virtual void CaptureChanged(bool on) = 0;
    // A failure the operator must acknowledge (a message box in the window).
    virtual void Message(const std::string& text) = 0;
    // The job has ended, once, whichever way it ended.
    virtual void Finished(const TJobResult& result) = 0;
};
