// The engine of both jobs (Software Upload and Factory Bootstrap Upload): the run values, the line
// to the unit, the capture file and the images, and the numbered state machine that carries a job
// one step per tick. It knows no widgets: it tells a TSequencerView what to show, and the window,
// the command line and the tests are such views.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "engine/States.h"
#include "engine/UnitLink.h"
#include "engine/UnitPort.h"
#include "engine/View.h"
#include "firmware/BinaryImage.h"
#include "firmware/BootLine.h"
#include "firmware/UploadFile.h"
#include "records/Capture.h"

// Which screen the operator is on; a failure is reported where it can be seen.
enum class TScreen { Start, SoftwareUpload, Factory };

class TSequencer {
public:
    TSequencer(TUnitPort& port, TSequencerView& view, const std::string& programFolder);
    TSequencer(const TSequencer&) = delete;
    TSequencer& operator=(const TSequencer&) = delete;

    // ---- run values ----
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
    std::string BlockBuffer;  // the block last read, kept so it can be sent again
    std::string ProgramFolder;
    std::string InputFileName, InputExt, BaseName, BinFileName, ZupFileName;
    std::string PortText, BaudText;  // the start screen's selections as typed
    std::string SavedPort;           // the port last remembered in commsUP.txt
    bool RememberPort = true;        // false: commsUP.txt is left as it is (the command line)
    uint8_t ExpectedAck = 0;
    TBootLineState Boot;  // HexToSend, LineCount, HexLineIndex, LastLineSent
    TScreen Screen = TScreen::Start;

    TUnitPort& Serial1;
    TCaptureFile Capture;
    TUnitLink Link;
    TBinaryImage BinImage;
    TZupFile ZupFile;

    // ---- what the operator starts ----
    void FormActivated();
    // False (with a message) when the baud text is not a number; the start screen then stays.
    bool SoftwareUploadChosen(const std::string& portText, const std::string& baudText);
    void FactoryChosen(const std::string& portText);
    void FileChosen(const std::string& fileName);
    void StartRun();
    void GoOn();
    void RepeatUpload();
    void BackToStart();
    // Switches the capture file on or off; a failure is reported and leaves the run alone. The file
    // is `path`, or Capture.txt in the program folder when none is given.
    void ToggleCapture(const std::string& path = {});
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
    void ReportRunError(const std::exception& error);
    // How many steps were run by an arrival rather than a tick (for the benchmark's record).
    long ArrivalSteps() const { return arrivalSteps_; }
    // Off: steps run only on ticks, as the original design paced them.
    bool AnswerAtOnce = true;

    // ---- operations the steps use ----
    void CheckInputFile();
    void PrepareUpload();
    void SaveCommsSettings();
    void SendCommandStep(const std::string& address, const std::string& command, bool addressed);
    void SendNextBlock();
    void SendBlock();
    void WriteCapture(const std::string& text, const std::string& tag);
    uint8_t PrepareBootLine();

private:
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
    void AnswerRequest();
    void TransferDone();
    void CompareChecksums();
    void Silence();
    void CheckIdent();
    void AwaitLoader(int ackByte, int tries, const char* done, const char* bad, const char* timeout,
                     int32_t nextState);
    void CheckRecordAck();
    void FlashCodeToBinary();
    void FactoryComplete();

    void Await(const std::string& key, int32_t failState, int32_t nextState, bool lineFeed = false);
    void Show(TLine line, const std::string& text);
    void Show(TLine line, const std::string& text, TColour colour, int points = 0);
    void HistAdd(const std::string& line);
    void CaptureFailed(const std::exception& error);
    void PurgeInput();
    void PortReport();
    bool PortTextValid(int& port) const;

    // A step runs because bytes arrived (rather than because the tick came) exactly while the
    // link counts no tries.
    bool RunByArrival() const { return !Link.CountTries; }

    TSequencerView& view_;
    bool inStep_ = false;
    bool portTextValid_ = true;
    bool preparing_ = false;  // "Preparing input file, please wait ..." is on screen
    bool verifying_ = false;  // the unit's checksum has been asked for and not yet compared
    long arrivalSteps_ = 0;
    long tickCount_ = 0;      // ticks run so far
    long endRecordTick_ = 0;  // the tick after which the last bootstrap record went out
};

// Text for the operator from bytes the unit sent: printable bytes as they are, line ends dropped,
// other control bytes as <XX>.
std::string OperatorText(const std::string& bytes);
