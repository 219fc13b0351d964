// The engine's frame: what the operator starts, the tick and the arrival of bytes, the opening of
// the port and the preparation of the firmware file.
#include "engine/Sequencer.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "engine/Progress.h"
#include "base/Hex.h"
#include "base/RunError.h"
#include "base/SafeFile.h"
#include "firmware/BuiltinImages.h"
#include "firmware/IntelHex.h"
#include "records/CommsSettings.h"

namespace {

// A selector's text as a whole decimal number, blanks around it allowed.
bool WholeNumber(const std::string& text, long& value) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    const std::string t = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    char* end = nullptr;
    errno = 0;
    value = std::strtol(t.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0' && !std::isspace(static_cast<unsigned char>(t[0]));
}

}  // namespace

std::string OperatorText(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r' || c == '\n') continue;
        if (c < 0x20 || c == 0x7F) {
            out += '<' + HexText(c, 2) + '>';
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

TSequencer::TSequencer(TUnitPort& port, TSequencerView& view, const std::string& programFolder)
    : ProgramFolder(programFolder), Serial1(port), Link(port, &Capture), view_(view) {
    if (ProgramFolder.empty() || ProgramFolder.back() != '/') ProgramFolder += '/';
    Serial1.OnRxData = [this] { DataArrived(); };
    Link.OnCaptureError = [this](const std::exception& e) { CaptureFailed(e); };
}

// ---- the tick and the arrival of bytes ----

void TSequencer::Tick() {
    // A message box opened by a step runs the event loop, which delivers further ticks; a step
    // never runs inside another one.
    if (inStep_) return;
    inStep_ = true;
    ++tickCount_;
    Guarded([this] {
        WriteCapture(std::to_string(UploadState), "[pn]");
        RunStep();
    });
    inStep_ = false;
}

void TSequencer::DataArrived() {
    Guarded([this] { Link.ReadMessage(); });
    if (!AnswerAtOnce || inStep_ || !WaitsForUnit()) return;
    // The unit paces the dialogue itself, so answering it at once cannot outrun it. Such a step
    // is not a try: every limit still counts ticks.
    inStep_ = true;
    Link.CountTries = false;
    ++arrivalSteps_;
    Guarded([this] {
        WriteCapture(std::to_string(UploadState), "[pn]");
        RunStep();
    });
    Link.CountTries = true;
    inStep_ = false;
}

bool TSequencer::WaitsForUnit() const {
    using namespace State;
    switch (UploadState) {
    case AwaitReady:
        // Without READY this step's work is the next wake-up character, which keeps to the tick.
        return Link.RxBuffer.find("READY") != std::string::npos;
    case AwaitErasing:
    case AwaitEraseEnd:
    case AwaitErrorBlock:
    case AwaitRequest:
    case AwaitThankYou:
    case AwaitSwr:
    case AwaitFcs:
        return true;
    case AwaitIdent:
    case AwaitLoader1:
    case AwaitLoader2:
    case AwaitRecordAck:
        // Silence is counted by ticks only.
        return !Link.RxBuffer.empty();
    default:
        return false;
    }
}

void TSequencer::RunStep() {
    if (State::IsFactory(UploadState)) {
        FactoryPortStep() || BootstrapStep() || RecordStep() || FlashCodeStep();
    } else {
        PortOpeningStep() || PreparationStep() || HandshakeStep() || TransferStep() || VerificationStep() ||
            EndStep();
    }
}

// ---- failures ----

void TSequencer::ReportRunError(const std::exception& error) {
    view_.Message(error.what());
    // A failed step is never repeated: back to idle. The Software Upload offers a new file choice;
    // the factory job says in its history where it stopped.
    UploadState = State::Idle;
    if (MainUpload && preparing_) {
        // A file preparation that stopped must not go on saying it is under way.
        view_.SetLine(TLine::PortStatus, "Preparing input file failed, choose another file");
        view_.SetLine(TLine::FileStatus, "");
    }
    preparing_ = false;
    if (MainUpload && Screen == TScreen::SoftwareUpload) {
        view_.Offer(TOffer::ChooseFile, true);
        view_.Offer(TOffer::BackToStart, true);
    } else if (!MainUpload && Screen == TScreen::Factory) {
        HistAdd(std::string("Stopped: ") + error.what());
        view_.Offer(TOffer::BackToStart, true);
    }
}

void TSequencer::WriteCapture(const std::string& text, const std::string& tag) {
    if (!Capture.CaptureOn()) return;
    try {
        Capture.WriteCapture(text, tag);
    } catch (const std::exception& e) {
        CaptureFailed(e);
    }
}

void TSequencer::CaptureFailed(const std::exception& error) {
    // A capture file that cannot be written must not stop the upload: report it once and switch
    // capture off, on screen too.
    Capture.CloseCapture();
    view_.CaptureChanged(false);
    view_.Message(error.what());
}

void TSequencer::ToggleCapture(const std::string& path) {
    try {
        Capture.ToggleCapture(path.empty() ? ProgramFolder + "Capture.txt" : path);
    } catch (const std::exception& e) {
        // Only the record is affected: a run in progress goes on, so this is not a step's failure.
        view_.CaptureChanged(Capture.CaptureOn());
        view_.Message(e.what());
        return;
    }
    view_.CaptureChanged(Capture.CaptureOn());
}

void TSequencer::CloseCapture() { Capture.CloseCapture(); }

// ---- small helpers ----

void TSequencer::Show(TLine line, const std::string& text) { view_.SetLine(line, text); }

void TSequencer::Show(TLine line, const std::string& text, TColour colour, int points) {
    view_.SetLine(line, text);
    view_.StyleLine(line, colour, points);
}

void TSequencer::HistAdd(const std::string& line) { view_.HistoryAdd(OperatorText(line)); }

void TSequencer::Await(const std::string& key, int32_t failState, int32_t nextState, bool lineFeed) {
    if (lineFeed) Link.AwaitReplyLF(key, failState, LastReply, nextState, UploadState);
    else Link.AwaitReply(key, failState, LastReply, nextState, UploadState);
}

void TSequencer::SendCommandStep(const std::string& address, const std::string& command, bool addressed) {
    Link.SendCommand(address, command, addressed);
    Link.WaitCount = 0;
    UploadState += 1;
}

bool TSequencer::PortTextValid(int& port) const {
    long n = 0;
    if (!WholeNumber(PortText, n) || n < 1 || n > 9) return false;
    port = static_cast<int>(n);
    return true;
}

void TSequencer::PurgeInput() {
    Serial1.AbortRx();
    Serial1.AbortTx();
    std::string discard;
    Serial1.ReadString(discard);
    Link.RxBuffer.clear();
}

void TSequencer::SaveCommsSettings() {
    if (!RememberPort || PortText == SavedPort) return;
    try {
        SaveCommsSettingsFile(ProgramFolder + "commsUP.txt", PortText, BaudText);
    } catch (const std::exception& e) {
        view_.Message(e.what());
    }
}

// ---- what the operator starts ----

void TSequencer::FormActivated() {
    HelpContext = 1;
    MainUpload = true;
    Screen = TScreen::Start;
    if (Capture.CaptureOn()) Capture.CloseCapture();
    UploadState = State::Idle;
}

bool TSequencer::SoftwareUploadChosen(const std::string& portText, const std::string& baudText) {
    MainUpload = true;
    long baud = 0;
    if (!WholeNumber(baudText, baud) || baud < INT32_MIN || baud > INT32_MAX) {
        view_.Message("'" + baudText + "' is not a valid integer value");
        return false;
    }
    PortText = portText;
    BaudText = baudText;
    UploadBaud = static_cast<int32_t>(baud);
    Screen = TScreen::SoftwareUpload;
    Show(TLine::PortStatus, "Opening Com Port...");
    Show(TLine::FileStatus, "");
    view_.Offer(TOffer::RunPanel, false);
    HelpContext = 3;
    UploadState = State::OpenPort;
    return true;
}

void TSequencer::FactoryChosen(const std::string& portText) {
    MainUpload = false;
    PortText = portText;
    BaudText = "19200";
    UploadBaud = 19200;
    Screen = TScreen::Factory;
    const std::string device = Serial1.DevicePath();
    view_.HistoryReset(device.empty() ? "Opening Com Port " + portText + "..." : "Opening " + device + "...");
    HelpContext = 9;
    Show(TLine::JumperNote, "");
    Show(TLine::FactoryPrompt, "");
    UploadState = State::OpenPort;
}

void TSequencer::FileChosen(const std::string& fileName) {
    Boot.LastLineSent = false;
    InputFileName = fileName;
    struct stat st {};
    if (::stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        CheckInputFile();
        if (UploadState == State::UnknownExtension) return;  // another file may be chosen
    }
    view_.Offer(TOffer::ChooseFile, false);
}

void TSequencer::StartRun() {
    verifying_ = false;
    Show(TLine::Instruction, "");
    Show(TLine::PortStatus, "");
    Show(TLine::Headline, "");
    Show(TLine::Footer, "DO NOT INTERRUPT UPLOAD", TColour::Red, 14);
    view_.Offer(TOffer::StartRun, false);
    TryCount = 0;
    view_.StyleLine(TLine::FileStatus, TColour::Black);
    view_.StyleLine(TLine::Headline, TColour::Black);
    Show(TLine::Activity, "POWER UP THE UNIT, NOW", TColour::Blue, 13);
    StartTime = TimeOfDayNow();
    UploadState = State::FirstWakeUp;
}

void TSequencer::GoOn() {
    StartTime = TimeOfDayNow();
    Show(TLine::JumperNote, "");
    view_.ShowLine(TLine::ForceRs232, false);
    Show(TLine::FactoryPrompt, "DO NOT INTERRUPT UPLOAD", TColour::Red, 12);
    view_.Offer(TOffer::GoOn, false);
    TryCount = 0;
    HistAdd("Establishing comms with the C161 chip...");
    UploadState = State::SendZeroByte;
}

void TSequencer::RepeatUpload() {
    view_.Offer(TOffer::RepeatUpload, false);
    view_.Offer(TOffer::BackToStart, false);
    PrepareUpload();
}

void TSequencer::BackToStart() {
    HelpContext = 1;
    Serial1.AbortRx();
    Serial1.AbortTx();
    Link.RxBuffer.clear();
    for (TOffer o : {TOffer::ChooseFile, TOffer::RepeatUpload, TOffer::BackToStart}) view_.Offer(o, false);
    Screen = TScreen::Start;
    UploadState = State::Idle;
}

// ---- opening the port (both jobs) ----

bool TSequencer::PortOpeningStep() {
    switch (UploadState) {
    case State::OpenPort: {
        Serial1.SetBaudrate(UploadBaud);
        int port = 0;
        portTextValid_ = PortTextValid(port);
        if (portTextValid_) Serial1.SetPort(port);
        WriteCapture("com port open at " + BaudText, "[co]");
        Link.RxBuffer.clear();
        // A port text that names no port opens nothing (and closes what was open), so the
        // operator gets the ordinary "did not open" report once.
        Serial1.SetActive(portTextValid_);
        if (Serial1.Active()) {
            Serial1.AbortRx();
            Serial1.AbortTx();
        }
        OpenTicks = 0;
        UploadState = State::AwaitOpen;
        return true;
    }
    case State::AwaitOpen:
        OpenTicks += 1;
        if (Serial1.Active()) {
            Serial1.AbortRx();
            Link.RxBuffer.clear();
            UploadState = MainUpload ? State::ReportPort : State::FactoryPortOpen;
        } else if (OpenTicks >= 20) {
            UploadState = MainUpload ? State::ReportPort : State::FactoryPortFailed;
        }
        return true;
    case State::ReportPort:
        PortReport();
        UploadState = State::Idle;
        return true;
    default:
        return false;
    }
}

void TSequencer::PortReport() {
    std::string word = "did not";
    if (Serial1.Active()) {
        view_.Offer(TOffer::ChooseFile, true);
        SaveCommsSettings();
        word = "is";
        view_.SetLineHint(TLine::PortStatus, "");
    } else {
        // The system's reason stays available without changing the operator's text.
        view_.SetLineHint(TLine::PortStatus, Serial1.ErrorText());
    }
    const std::string port = portTextValid_ ? Serial1.DisplayName() : "Com " + PortText;
    Show(TLine::PortStatus, "Port " + word + " open on " + port + " at " + std::to_string(Serial1.Baudrate()) + " baud");
    view_.ShowLine(TLine::Footer, false);
}

// ---- preparing the file ----

void TSequencer::CheckInputFile() {
    view_.ShowGauge(false);
    const TInputNames names = SplitInputFileName(InputFileName);
    InputExt = names.InputExt;
    BaseName = names.BaseName;
    const TInputKind kind = InputKind(InputExt);
    if (kind == TInputKind::Unknown) {
        UploadState = State::UnknownExtension;
        return;
    }
    if (kind == TInputKind::Upload) {
        ZupFileName = InputFileName;
        PrepareUpload();
        return;
    }
    view_.Offer(TOffer::RunPanel, false);
    HelpContext = 4;
    ZupFileName = names.ZupFileName;
    Show(TLine::PortStatus, "Preparing input file, please wait ...", TColour::Blue);
    preparing_ = true;
    if (kind == TInputKind::IntelHex) {
        BinFileName = names.BinFileName;
        Show(TLine::FileStatus, "Emptying binary file:  " + BinFileName + " ...");
        UploadState = State::EmptyBinary;
    } else {
        BinFileName = InputFileName;
        Show(TLine::FileStatus, "Converting .BIN file to .ZUP format ...");
        BinImage.OpenExisting(BinFileName, MainImageChunks);
        UploadState = State::CheckUploadFile;
    }
}

bool TSequencer::PreparationStep() {
    switch (UploadState) {
    case State::UnknownExtension:
        Show(TLine::PortStatus, "Unexpected file extension (" + InputExt + "), choose another file");
        UploadState = State::Idle;
        return true;
    case State::EmptyBinary:
        BinImage.EmptyBinaryFile(BinFileName, MainUpload ? MainImageChunks : FactoryImageChunks);
        Show(TLine::FileStatus, "Processing .H86 input file to .BIN binary file ...");
        UploadState = State::HexToBinary;
        return true;
    case State::HexToBinary: {
        THexReader reader;
        reader.HexToBinaryFile(InputFileName, BinImage);
        BinImage.Flush();
        Show(TLine::FileStatus, "Processing .BIN file to .ZUP format ...");
        UploadState = State::CheckUploadFile;
        return true;
    }
    case State::CheckUploadFile:
        // Make sure the upload block file can be written before the work of the next step, without
        // creating anything (a link's target least of all); the old file keeps its content until
        // the new one is complete.
        CheckReplaceable(ZupFileName);
        UploadState = State::BuildUploadFile;
        return true;
    case State::BuildUploadFile: {
        ZupFile.Close();
        TBuildResult r = BuildUploadFile(BinImage, ZupFileName);
        BlockCount = r.BlockCount;
        LastReply = r.Checksum;
        preparing_ = false;
        Show(TLine::PortStatus, "Data file conversion complete, chksum=" + r.Checksum, TColour::Black);
        view_.Offer(TOffer::RunPanel, true);
        UploadState = State::ReadyScreen;
        return true;
    }
    case State::ReadyScreen:
        Show(TLine::Activity, "");
        Show(TLine::Headline, "THE UNIT MUST BE OFF", TColour::Red, 12);
        Show(TLine::Instruction, "Click on <Start Upload> button", TColour::Blue, 12);
        view_.Offer(TOffer::StartRun, true);
        Show(TLine::FileStatus,
             "Upload will be " + std::to_string(BlockCount) + " blocks," + EstimateText(BlockCount, Serial1.Baudrate()),
             TColour::Blue);
        UploadState = State::Idle;
        return true;
    default:
        return false;
    }
}

void TSequencer::PrepareUpload() {
    CheckUploadFile(ZupFileName);
    view_.SetGauge(0, std::max(BlockCount, 1));
    view_.ShowGauge(false);
    view_.ShowLine(TLine::Footer, false);
    Show(TLine::Activity, "");
    Show(TLine::PortStatus, "");
    ZupFile.Open(ZupFileName);
    view_.Offer(TOffer::RepeatUpload, false);
    view_.Offer(TOffer::RunPanel, true);
    view_.Offer(TOffer::StartRun, true);
    HelpContext = 4;
    BlockCount = ZupFile.BlockCount();
    Serial1.SetBaudrate(UploadBaud);
    UploadState = State::ReadyScreen;
}
