// The engine of both jobs (Software Upload and Factory Bootstrap Upload): the run values, the line
// to the unit, the capture file and the images, and the numbered state machine that carries a job
// one step per tick. It knows no widgets: it takes jobs (open a port, prepare a file, start the
// upload, go on after the operator, the next unit, stop) and tells a TEngineListener what happens, as
// typed events, ending every job with one result. The job driver is its one caller (every front
// end runs on it); the tests drive it directly.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "engine/JobEvents.h"
#include "engine/JobOutput.h"
#include "engine/JobResult.h"
#include "engine/Pace.h"
#include "engine/PreparedUpload.h"
#include "engine/States.h"
#include "engine/UnitLink.h"
#include "engine/UnitPort.h"
#include "firmware/BinaryImage.h"
#include "firmware/BootLine.h"
#include "firmware/UploadFile.h"
#include "records/Capture.h"

// Which screen the operator is on; a failure is reported where it can be seen.
enum class TScreen { Start, SoftwareUpload, Factory };

// The run values, under the names the operator's record and the help know them by.
struct TRunValues {
    int32_t UploadState = State::Idle;
    int32_t TryCount = 0;
    int32_t OpenTicks = 0;
    int32_t RebootTicks = 0;
    int32_t BlockCount = 0;
    int32_t BlocksSent = 0;
    int32_t BadAckCount = 0;
    int32_t HelpContext = 1;
    bool MainUpload = true;
    int32_t UploadBaud = 38400;
    std::string WaitingFor, LastReply, FileChecksum, UnitChecksum;
    double StartTime = 0, EndTime = 0;
    std::string BlockBuffer;  // the block last sent, kept so it can be sent again
    std::string ProgramFolder;
    std::string InputFileName, InputExt, BaseName, BinFileName, ZupFileName;
    std::string PortText, BaudText;  // the start screen's selections as typed
    std::string SavedPort;           // the port last remembered in commsUP.txt
    bool RememberPort = true;        // false: commsUP.txt is left as it is (the command line)
    uint8_t ExpectedAck = 0;
    TBootLineState Boot;  // HexToSend, LineCount, HexLineIndex, LastLineSent
    TScreen Screen = TScreen::Start;
};

class TSequencer {
public:
    TSequencer(TUnitPort& port, TEngineListener& listener, const std::string& programFolder);
    TSequencer(const TSequencer&) = delete;
    TSequencer& operator=(const TSequencer&) = delete;

    // ---- what a view may read ----
    int32_t UploadState() const { return Run.UploadState; }
    // Nothing runs until the operator acts.
    bool Resting() const { return Run.UploadState == State::Idle; }
    int32_t BlockCount() const { return Run.BlockCount; }
    int32_t BlocksSent() const { return Run.BlocksSent; }
    int32_t HelpContext() const { return Run.HelpContext; }
    const std::string& ProgramFolder() const { return Run.ProgramFolder; }
    const std::string& ZupFileName() const { return Run.ZupFileName; }
    std::string PreparedChecksum() const { return prepared_ ? prepared_->Upload.Checksum : std::string(); }
    // The upload the last preparation made (or was given), held for every unit from then on.
    const TSharedUpload& PreparedUpload() const { return prepared_; }
    bool CaptureOn() const { return Capture.CaptureOn(); }
    // Received bytes not yet taken by a wait.
    std::string::size_type BufferedBytes() const { return Link.RxBuffer.size(); }
    // The unit is being written: from the GO (or Proceed) to the end of the job. Stopping now
    // leaves it half-written.
    bool Writing() const { return jobOpen_ && unitTouched_; }
    // How long the unit has said nothing while its answer to a block (or to the end of the
    // transfer) is awaited; 0 when no such answer is awaited. A unit answers a block at once, so
    // seconds of this are a unit that may be gone, which the reply wait alone shows only at its end.
    std::chrono::milliseconds UnitSilentFor() const;

    // ---- how it is set up ----
    void SetSavedPort(const std::string& port) { Run.SavedPort = port; }
    const std::string& SavedPort() const { return Run.SavedPort; }
    void SetRememberPort(bool remember) { Run.RememberPort = remember; }
    // Off: steps run only on ticks, as the original design paced them.
    void SetAnswerAtOnce(bool atOnce) { answerAtOnce_ = atOnce; }
    // Not "": the factory job's scratch files get names of their own, with this process's id and
    // `tag` (unique among the owner's engines), so that jobs beside it (in this process or another)
    // never share them; "", a single job uses Reserved.BIN and Reserved.ZUP.
    void SetPrivateFactoryFiles(const std::string& tag) { factoryFilesTag_ = tag; }
    // A line that checks every unit: `verifyEvery` verifies each Software Upload after the unit's
    // restart whatever its size (without it, only uploads from the size the unit's protocol
    // verifies); `version`, when not "", is the software version the unit must then report.
    // On: a preparation writes nothing beside the firmware (no X.BIN, no X.ZUP); the upload is held
    // in memory only, as a station's is. Off: the files are written as the window writes them.
    void SetPrepareInMemory(bool inMemory) { prepareInMemory_ = inMemory; }
    void SetUploadChecks(bool verifyEvery, const std::string& version) {
        verifyEvery_ = verifyEvery;
        expectedVersion_ = version;
    }

    // ---- the jobs: what the job driver calls (for the window's buttons too) ----
    // A new engine rests on the start screen: idle, help topic 1, capture off.
    // The Software Upload's port, opened at `baudText`; then the firmware file is awaited. False
    // (with a message) when the baud text is not a number: nothing is opened.
    bool OpenUploadPort(const std::string& portText, const std::string& baudText);
    // The factory job's port; then the jumpers and the unit's power are awaited (GoOn).
    void OpenFactoryPort(const std::string& portText);
    // Prepares the firmware file: a preparation is a job of its own, with its result.
    void Prepare(const std::string& fileName);
    // The preparation alone, without a port (the states run as after a choice of file).
    void PrepareAlone(const std::string& fileName);
    // Takes an upload prepared before (by another engine: a station's one preparation) in place of
    // preparing a file: nothing is read, and every result names its firmware. A job of its own.
    void UsePrepared(TSharedUpload prepared);
    // The Software Upload of the prepared upload on the open port.
    void StartUpload();
    // The operator's step is done: the factory job's jumpers are on and the unit is switched on.
    void GoOn();
    // The same upload again, for the next unit on the same port.
    void NextUnit();
    void BackToStart();
    // Stops the job from outside: no step runs again, and the result says where it stopped.
    void Stop();
    // Switches the capture file on or off; a failure is reported and leaves the run alone. The file
    // is `path`, or Capture.txt in the program folder when none is given. Returns why it could not
    // be switched, "" when it was.
    std::string ToggleCapture(const std::string& path = {});
    void CloseCapture();

    // ---- what drives it ----
    // One step of the current state; a file or conversion failure is reported once and the
    // sequencer goes back to idle.
    void Tick();
    // Bytes have arrived: they join RxBuffer, and a state that waits for the unit answers at once.
    void DataArrived();
    // Runs an operator's action; what it throws is reported as a step's failure would be.
    template <class F>
    void Guarded(F&& work) {
        try {
            work();
        } catch (const std::exception& e) {
            ReportRunError(e);
        }
    }
    // How many steps were run by an arrival rather than a tick (for the benchmark's record).
    long ArrivalSteps() const { return arrivalSteps_; }

private:
    // ---- the steps, by phase ----
    void RunStep();
    bool WaitsForUnit() const;
    bool PortOpeningStep();
    bool PreparationStep();
    bool HandshakeStep();
    bool TransferStep();
    bool VerificationStep();
    bool EndStep();
    bool FactoryPortStep();
    bool BootstrapStep();
    bool RecordStep();
    bool FlashCodeStep();
    void EraseEnded();
    void AnswerRequest();
    void ResendRequested();
    void TransferDone();
    void CompareChecksums();
    bool ChecksumsMatch() const;
    void UploadComplete();
    // The unit is asked for its version and checksum after its restart.
    bool VerifiesAfterRestart() const;
    bool VersionMatches() const { return expectedVersion_.empty() || result_.UnitVersion == expectedVersion_; }
    bool UploadSucceeded() const;
    void Silence();
    void TimedOut();
    void CheckIdent();
    void AwaitLoader(int ackByte, int tries, const char* done, const char* bad, const char* timeout,
                     int32_t nextState);
    void CheckRecordAck();
    void FlashCodeToBinary();
    void BuildFlashCodeUpload();
    void FactoryComplete();
    void FactoryFailed(TResultKind kind, const std::string& line);

    // ---- operations the steps use ----
    void CheckInputFile();
    // An upload block file chosen as the firmware, read and checked once.
    void ReadUploadInput();
    // The upload just made (or read) held from now on, named by the file it was prepared from.
    void HoldUpload(TUploadImage upload);
    // The prepared upload offered for the next run: the ready screen and the preparation's result.
    void ReadyForUpload();
    void BuildUpload();
    void ReportLeftOut();
    void RefuseEmptyImage() const;
    [[noreturn]] void ThrowNoData() const;
    void SaveCommsSettings();
    void SendCommandStep(const std::string& address, const std::string& command, bool addressed, int32_t nextState);
    void SendNextBlock();
    // A block to the unit, its moment and size taken for the upload's pace.
    void SendBlock(const std::string& block, bool again = false);
    void WriteCapture(const std::string& text, const std::string& tag);
    uint8_t PrepareBootLine();

    // ---- the result ----
    void BeginJob(TJob job);
    // The upload or factory job that follows the preparation: the file's names carried over;
    // returns the preparation's warnings.
    std::vector<std::string> BeginJobOfFile();
    void BeginRun();
    void NoteInputFile();
    void Prepared(std::vector<std::string> written);
    void End(TResultKind kind, const std::string& reason);
    std::string PortFailureReason() const;
    void ReportRunError(const std::exception& error);

    void Await(const std::string& key, int32_t failState, int32_t nextState, bool lineFeed = false);
    void GoTo(int32_t state) { Run.UploadState = state; }
    void Show(TLine line, const std::string& text);
    void Show(TLine line, const std::string& text, TColour colour, int points = 0);
    // An instruction that names a control of the window.
    void ShowWindowOnly(TLine line, const std::string& text, TColour colour, int points);
    // The state and stage as they stand, told when they changed; after every step and command.
    void Settled() { out_.StateNow(Run.UploadState); }
    void PortFault(TPortFault fault);
    // The device failed on read (EIO, gone) while a reply of the unit being written is awaited:
    // the wait ends at the next step as a lost line, not at the end of the reply wait. False
    // while the line holds.
    bool EndIfLineLost();
    // A timed-out wait's reason, or the lost line's when that is what ended it.
    std::string WaitEndedReason() const;
    // Why the port did not open, decided here once for the record and every front end.
    TPortFault OpenFault() const;
    std::chrono::milliseconds RunTime() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(runEnded_ - runStarted_);
    }
    void HistAdd(const std::string& line);
    void CaptureFailed(const std::exception& error);
    void PurgeInput();
    void PortReport();
    void NoteLowLatency();
    bool PortTextValid(int& port) const;
    std::string FactoryFileBase() const;

    // A step runs because bytes arrived (rather than because the tick came) exactly while the
    // link counts no tries.
    bool RunByArrival() const { return !Link.CountTries; }

    TRunValues Run;
    TUnitPort& Serial1;
    TCaptureFile Capture;
    TUnitLink Link;
    TBinaryImage BinImage;
    // The upload as it was prepared and checked, held in memory from then on: what goes to the
    // unit is exactly this, whatever happens to the files afterwards; never changed once made, so
    // the engines of a station share one.
    TSharedUpload prepared_;
    // The firmware file's SHA-256 and size, taken from the bytes the preparation read.
    FileIo::TInputDigest inputDigest_;
    TJobResult result_;
    std::chrono::steady_clock::time_point runClock_;
    std::chrono::steady_clock::time_point lastHeard_;  // the unit's last bytes, or the transfer's start

    TJobOutput out_;
    bool answerAtOnce_ = true;
    std::string factoryFilesTag_;
    bool verifyEvery_ = false;
    std::string expectedVersion_;
    bool prepareAlone_ = false;  // a preparation without a port: it ends where a run could start
    bool prepareInMemory_ = false;
    std::chrono::steady_clock::time_point runStarted_, runEnded_;  // for the elapsed time shown
    bool inStep_ = false;
    bool portTextValid_ = true;
    bool preparing_ = false;    // "Preparing input file, please wait ..." is on screen
    bool verifying_ = false;    // the unit's checksum has been asked for and not yet compared
    bool answeredAfterRestart_ = false;  // the unit gave its version after its restart
    bool jobOpen_ = false;      // a job has begun and its result has not been given
    bool unitTouched_ = false;  // GO or the zero byte has gone out in this job
    int sameBlockResends_ = 0;  // requests in a row for the block last sent
    int silentWaits_ = 0;       // transfer waits in a row that ran out
    std::string haltReason_;    // why the engine itself halted the transfer
    std::string lowLatencyWarning_;  // the open port's driver refused low latency, "" otherwise
    TPace pace_;  // the Software Upload's pace over its block dialogue
    long arrivalSteps_ = 0;
    long tickCount_ = 0;      // ticks run so far
    long endRecordTick_ = 0;  // the tick after which the last bootstrap record went out
    long factoryJobs_ = 0;    // factory jobs run, for their scratch files' names
};

// How long the factory job takes, in whole seconds, from what it sends at its line speeds.
int FactorySeconds();
// The unit's software version from its reply to SWR?, "" when it holds none.
std::string SoftwareVersion(const std::string& swrReply);
// Text for the operator from bytes the unit sent: printable bytes as they are, line ends dropped,
// other control bytes as <XX>.
std::string OperatorText(const std::string& bytes);
