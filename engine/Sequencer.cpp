// The engine's frame: what the operator starts, the tick and the arrival of bytes, the opening of
// the port and the preparation of the firmware file.
#include "engine/Sequencer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "engine/Progress.h"
#include "engine/Protocol.h"
#include "base/Hex.h"
#include "base/RunError.h"
#include "base/SafeFile.h"
#include "firmware/BuiltinImages.h"
#include "firmware/IntelHex.h"
#include "firmware/UploadFile.h"
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

TSequencer::TSequencer(TUnitPort& port, TEngineListener& listener, const std::string& programFolder)
    : Serial1(port), Link(port, &Capture), out_(listener) {
    Run.ProgramFolder = programFolder;
    if (Run.ProgramFolder.empty() || Run.ProgramFolder.back() != '/') Run.ProgramFolder += '/';
    Serial1.OnRxData = [this] { DataArrived(); };
    Link.OnCaptureError = [this](const std::exception& e) { CaptureFailed(e); };
}

// ---- the tick and the arrival of bytes ----

void TSequencer::Tick() {
    // A listener that ran the event loop inside an event (a modal dialog) would deliver further
    // ticks; a step never runs inside another one.
    if (inStep_) return;
    inStep_ = true;
    ++tickCount_;
    Guarded([this] {
        WriteCapture(std::to_string(Run.UploadState), "[pn]");
        RunStep();
    });
    inStep_ = false;
    Settled();
}

void TSequencer::DataArrived() {
    lastHeard_ = std::chrono::steady_clock::now();
    Guarded([this] { Link.ReadMessage(); });
    if (!answerAtOnce_ || inStep_ || !WaitsForUnit()) return;
    // The unit paces the dialogue itself, so answering it at once cannot outrun it. Such a step
    // is not a try: every limit still counts ticks.
    inStep_ = true;
    Link.CountTries = false;
    ++arrivalSteps_;
    Guarded([this] {
        WriteCapture(std::to_string(Run.UploadState), "[pn]");
        RunStep();
    });
    Link.CountTries = true;
    inStep_ = false;
    Settled();
}

bool TSequencer::WaitsForUnit() const {
    using namespace State;
    switch (Run.UploadState) {
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
    if (EndIfLineLost()) return;
    if (State::IsFactory(Run.UploadState)) {
        FactoryPortStep() || BootstrapStep() || RecordStep() || FlashCodeStep();
    } else {
        PortOpeningStep() || PreparationStep() || HandshakeStep() || TransferStep() || VerificationStep() ||
            EndStep();
    }
}

// ---- failures ----

void TSequencer::ReportRunError(const std::exception& error) {
    out_.Message(error.what(), jobOpen_);
    // A failed step is never repeated: back to idle. The Software Upload offers a new file choice;
    // the factory job says in its history where it stopped.
    GoTo(State::Idle);
    if (Run.MainUpload && preparing_) {
        // A file preparation that stopped must not go on saying it is under way.
        // "choose another file" is the window's offer: a terminal has its own way to try again.
        out_.SetLine(TLine::PortStatus, "Preparing input file failed, choose another file", true);
        out_.SetLine(TLine::FileStatus, "");
    }
    preparing_ = false;
    if (Run.MainUpload && Run.Screen == TScreen::SoftwareUpload) {
        out_.Offer(TOffer::ChooseFile, true);
        out_.Offer(TOffer::BackToStart, true);
    } else if (!Run.MainUpload && Run.Screen == TScreen::Factory) {
        HistAdd(std::string("Stopped: ") + error.what());
        out_.Offer(TOffer::BackToStart, true);
    }
    End(TResultKind::FileFailed, error.what());
    Settled();
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
    out_.CaptureChanged(false);
    out_.Message(error.what());
    result_.Warnings.push_back(std::string("capture file stopped: ") + error.what());
    out_.Warning(result_.Warnings.back());
}

std::string TSequencer::ToggleCapture(const std::string& path) {
    try {
        Capture.ToggleCapture(path.empty() ? Run.ProgramFolder + "Capture.txt" : path);
    } catch (const std::exception& e) {
        // Only the record is affected: a run in progress goes on, so this is not a step's failure.
        out_.CaptureChanged(Capture.CaptureOn());
        out_.Message(e.what());
        return e.what();
    }
    out_.CaptureChanged(Capture.CaptureOn());
    return {};
}

void TSequencer::CloseCapture() { Capture.CloseCapture(); }

// ---- small helpers ----

void TSequencer::Show(TLine line, const std::string& text) { out_.SetLine(line, text); }

void TSequencer::Show(TLine line, const std::string& text, TColour colour, int points) {
    out_.SetLine(line, text);
    out_.StyleLine(line, colour, points);
}

void TSequencer::ShowWindowOnly(TLine line, const std::string& text, TColour colour, int points) {
    out_.SetLine(line, text, true);
    out_.StyleLine(line, colour, points);
}

TPortFault TSequencer::OpenFault() const {
    return Serial1.RefusedLink() ? TPortFault::ForeignLink : PortFaultOfError(Serial1.ErrorCode());
}

void TSequencer::PortFault(TPortFault fault) {
    result_.PortFault = fault;
    result_.SystemReason = Serial1.ErrorText();
    result_.SystemError = Serial1.ErrorCode();
}

void TSequencer::HistAdd(const std::string& line) { out_.HistoryAdd(OperatorText(line)); }

void TSequencer::Await(const std::string& key, int32_t failState, int32_t nextState, bool lineFeed) {
    switch (lineFeed ? Link.AwaitReplyLF(key, Run.LastReply) : Link.AwaitReply(key, Run.LastReply)) {
    case TReplyWait::Arrived: GoTo(nextState); break;
    case TReplyWait::GaveUp: GoTo(failState); break;
    case TReplyWait::Waiting: break;
    }
}

void TSequencer::SendCommandStep(const std::string& address, const std::string& command, bool addressed,
                                 int32_t nextState) {
    Link.SendCommand(address, command, addressed);
    Link.WaitCount = 0;
    GoTo(nextState);
}

bool TSequencer::PortTextValid(int& port) const {
    long n = 0;
    if (!WholeNumber(Run.PortText, n) || n < 1 || n > 9) return false;
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
    if (!Run.RememberPort || Run.PortText == Run.SavedPort) return;
    try {
        SaveCommsSettingsFile(Run.ProgramFolder + "commsUP.txt", Run.PortText, Run.BaudText);
    } catch (const std::exception& e) {
        out_.Message(e.what());
    }
}

// ---- the jobs ----

bool TSequencer::OpenUploadPort(const std::string& portText, const std::string& baudText) {
    Run.MainUpload = true;
    long baud = 0;
    if (!WholeNumber(baudText, baud) || baud < INT32_MIN || baud > INT32_MAX) {
        out_.Message("'" + baudText + "' is not a valid integer value");
        return false;
    }
    Run.PortText = portText;
    Run.BaudText = baudText;
    Run.UploadBaud = static_cast<int32_t>(baud);
    Run.Screen = TScreen::SoftwareUpload;
    BeginJob(TJob::Upload);
    Show(TLine::PortStatus, "Opening Com Port...");
    Show(TLine::FileStatus, "");
    out_.Offer(TOffer::RunPanel, false);
    Run.HelpContext = 3;
    GoTo(State::OpenPort);
    Settled();
    return true;
}

void TSequencer::OpenFactoryPort(const std::string& portText) {
    Run.MainUpload = false;
    Run.PortText = portText;
    Run.BaudText = "19200";
    Run.UploadBaud = 19200;
    Run.Screen = TScreen::Factory;
    BeginJob(TJob::Factory);
    const std::string device = Serial1.DevicePath();
    out_.HistoryReset(device.empty() ? "Opening Com Port " + portText + "..." : "Opening " + device + "...");
    Run.HelpContext = 9;
    Show(TLine::JumperNote, "");
    Show(TLine::FactoryPrompt, "");
    GoTo(State::OpenPort);
    Settled();
}

void TSequencer::Prepare(const std::string& fileName) {
    Run.Boot.LastLineSent = false;
    Run.InputFileName = fileName;
    BeginJob(TJob::Prepare);
    out_.Awaiting(TOperatorStep::None);
    struct stat st {};
    if (::stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        CheckInputFile();
        if (Run.UploadState == State::UnknownExtension) return Settled();  // another file may be chosen
    } else {
        End(TResultKind::FileFailed, "'" + fileName + "' is not a file that can be read");
    }
    out_.Offer(TOffer::ChooseFile, false);
    Settled();
}

void TSequencer::PrepareAlone(const std::string& fileName) {
    Run.Screen = TScreen::SoftwareUpload;
    prepareAlone_ = true;
    Guarded([&] { Prepare(fileName); });
    Settled();
}

void TSequencer::StartUpload() {
    // Without a prepared upload the erase would leave the unit with nothing; Start is only ever
    // offered after a preparation, and a caller that starts anyway gets nothing done.
    if (!prepared_ || prepared_->Upload.Blocks.empty()) return;
    BeginRun();
    verifying_ = false;
    Show(TLine::Instruction, "");
    Show(TLine::PortStatus, "");
    Show(TLine::Headline, "");
    Show(TLine::Footer, "DO NOT INTERRUPT UPLOAD", TColour::Red, 14);
    out_.Offer(TOffer::StartRun, false);
    Run.TryCount = 0;
    out_.StyleLine(TLine::FileStatus, TColour::Black);
    out_.StyleLine(TLine::Headline, TColour::Black);
    Show(TLine::Activity, "POWER UP THE UNIT, NOW", TColour::Blue, 13);
    out_.Awaiting(TOperatorStep::SwitchUnitOn);
    Run.StartTime = TimeOfDayNow();
    runStarted_ = std::chrono::steady_clock::now();
    GoTo(State::FirstWakeUp);
    Settled();
}

void TSequencer::GoOn() {
    BeginRun();
    unitTouched_ = true;
    Run.StartTime = TimeOfDayNow();
    runStarted_ = std::chrono::steady_clock::now();
    Show(TLine::JumperNote, "");
    out_.ShowLine(TLine::ForceRs232, false);
    Show(TLine::FactoryPrompt, "DO NOT INTERRUPT UPLOAD", TColour::Red, 12);
    out_.Offer(TOffer::GoOn, false);
    out_.Awaiting(TOperatorStep::None);
    Run.TryCount = 0;
    HistAdd("Establishing comms with the C161 chip...");
    GoTo(State::SendZeroByte);
    Settled();
}

void TSequencer::NextUnit() {
    out_.Offer(TOffer::RepeatUpload, false);
    out_.Offer(TOffer::BackToStart, false);
    BeginJob(TJob::Prepare);
    NoteInputFile();
    // The upload held since its preparation, never the files again: whatever has happened to them
    // since, the next unit gets the bytes its record names.
    Guarded([this] { ReadyForUpload(); });
    Settled();
}

void TSequencer::UsePrepared(TSharedUpload prepared) {
    Run.Boot.LastLineSent = false;
    Run.InputFileName = prepared ? prepared->InputFile : std::string();
    const TInputNames names = SplitInputFileName(Run.InputFileName);
    Run.InputExt = names.InputExt;
    Run.BaseName = names.BaseName;
    BeginJob(TJob::Prepare);
    NoteInputFile();
    out_.Awaiting(TOperatorStep::None);
    inputDigest_ = {};
    prepared_ = std::move(prepared);
    out_.Offer(TOffer::ChooseFile, false);
    ReadyForUpload();
    Settled();
}

void TSequencer::BackToStart() {
    Run.HelpContext = 1;
    Serial1.AbortRx();
    Serial1.AbortTx();
    Link.RxBuffer.clear();
    for (TOffer o : {TOffer::ChooseFile, TOffer::RepeatUpload, TOffer::BackToStart}) out_.Offer(o, false);
    out_.Awaiting(TOperatorStep::None);
    Run.Screen = TScreen::Start;
    GoTo(State::Idle);
    Settled();
}

void TSequencer::Stop() {
    GoTo(State::Idle);
    if (!jobOpen_) {
        // Stopped between a preparation and its run: the run's result still names the file.
        BeginJobOfFile();
    }
    std::string where = "stopped before anything was sent to the unit";
    if (unitTouched_)
        where = (Run.BlocksSent > 0 ? "stopped at block " + std::to_string(Run.BlocksSent) + " of " +
                                          std::to_string(Run.BlockCount)
                                    : std::string("stopped before the first block")) +
                "; the unit must be uploaded again";
    End(TResultKind::Interrupted, where);
    Settled();
}

// ---- the result ----

void TSequencer::BeginJob(TJob job) {
    result_ = TJobResult{};
    result_.Job = job;
    result_.Started = std::chrono::system_clock::now();
    runClock_ = std::chrono::steady_clock::now();
    jobOpen_ = true;
    unitTouched_ = false;
}

std::vector<std::string> TSequencer::BeginJobOfFile() {
    // A run is a job of its own: the preparation's result, if any, is history; the file stays.
    TJobResult file = std::move(result_);
    BeginJob(Run.MainUpload ? TJob::Upload : TJob::Factory);
    result_.InputFile = std::move(file.InputFile);
    result_.InputSize = file.InputSize;
    result_.InputSha256 = std::move(file.InputSha256);
    result_.UploadSha256 = std::move(file.UploadSha256);
    return std::move(file.Warnings);
}

void TSequencer::BeginRun() {
    result_.Warnings = BeginJobOfFile();
    Run.BlocksSent = 0;
    sameBlockResends_ = 0;
    silentWaits_ = 0;
    haltReason_.clear();
    pace_ = TPace{};
}

void TSequencer::NoteInputFile() { result_.InputFile = Run.InputFileName; }

void TSequencer::End(TResultKind kind, const std::string& reason) {
    if (!jobOpen_) return;
    jobOpen_ = false;
    verifying_ = false;
    prepareAlone_ = false;
    if (!factoryFilesTag_.empty() && !Run.MainUpload && result_.Job == TJob::Factory) {
        // Scratch files of their own name would otherwise be left for nobody to remove.
        std::remove(Run.ZupFileName.c_str());
        std::remove(Run.BinFileName.c_str());
    }
    if (out_.Awaited() != TOperatorStep::RemoveJumpers) out_.Awaiting(TOperatorStep::None);
    TJobResult& r = result_;
    if (r.Job == TJob::Prepare && kind == TResultKind::Prepared && prepared_) {
        r.InputFile = prepared_->InputFile;
        r.InputSize = prepared_->InputSize;
        r.InputSha256 = prepared_->InputSha256;
        r.UploadSha256 = prepared_->UploadSha256;
    } else if (r.Job == TJob::Prepare && inputDigest_.Size > 0) {
        r.InputSize = inputDigest_.Size;
        r.InputSha256 = inputDigest_.Hash.HexDigest();
    }
    r.Kind = kind;
    r.Reason = reason;
    r.BlocksSent = Run.BlocksSent;
    r.BlockCount = Run.BlockCount;
    r.FileChecksum = kind == TResultKind::FileFailed ? std::string() : PreparedChecksum();
    r.UnitChecksum = Run.UnitChecksum;
    if (r.Resends > 0) r.Warnings.push_back(std::to_string(r.Resends) + " blocks sent again");
    if (!lowLatencyWarning_.empty() && r.Job != TJob::Prepare) r.Warnings.push_back(lowLatencyWarning_);
    r.Device = Serial1.DeviceName();
    r.PortName = Serial1.DisplayName();
    r.ComPort = Serial1.DevicePath().empty() ? Serial1.Port() : 0;
    // The upload's speed: the verification after it talks at 9600, which is not what the unit was
    // loaded at.
    r.Baud = r.Job == TJob::Upload ? Run.UploadBaud : Serial1.Baudrate();
    r.CaptureFile = Capture.CaptureOn() ? Capture.Path() : std::string();
    r.UnitWritten = unitTouched_;
    if (r.Job == TJob::Upload) {
        r.WireRatio = pace_.WireRatio();
        r.ReplyMedianMs = pace_.ReplyMedianMs();
    }
    r.Duration = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - runClock_);
    out_.Finished(r);
}

std::string TSequencer::PortFailureReason() const {
    const std::string reason = Serial1.ErrorText().empty() ? "no reason given" : Serial1.ErrorText();
    const std::string device = Serial1.DeviceName();
    const std::string name = portTextValid_ ? Serial1.DisplayName() : "Com " + Run.PortText;
    return (name == device || device.empty() ? name : name + " (" + device + ")") + ": " + reason;
}

std::string TSequencer::FactoryFileBase() const {
    if (factoryFilesTag_.empty()) return "Reserved";
    // The process, the port's tag its owner made unique among its ports, and this engine's count
    // of factory jobs: no two jobs that run at the same time share a name.
    return "Reserved-" + std::to_string(::getpid()) + "-" + factoryFilesTag_ + "-" + std::to_string(factoryJobs_);
}

// ---- opening the port (both jobs) ----

bool TSequencer::PortOpeningStep() {
    switch (Run.UploadState) {
    case State::OpenPort: {
        Serial1.SetBaudrate(Run.UploadBaud);
        int port = 0;
        portTextValid_ = PortTextValid(port);
        if (portTextValid_) Serial1.SetPort(port);
        WriteCapture("com port open at " + Run.BaudText, "[co]");
        Link.RxBuffer.clear();
        // A port text that names no port opens nothing (and closes what was open), so the
        // operator gets the ordinary "did not open" report once.
        Serial1.SetActive(portTextValid_);
        if (Serial1.Active()) {
            Serial1.AbortRx();
            Serial1.AbortTx();
        }
        Run.OpenTicks = 0;
        GoTo(State::AwaitOpen);
        return true;
    }
    case State::AwaitOpen:
        Run.OpenTicks += 1;
        if (Serial1.Active()) {
            Serial1.AbortRx();
            Link.RxBuffer.clear();
            GoTo(Run.MainUpload ? State::ReportPort : State::FactoryPortOpen);
        } else if (Run.OpenTicks >= Protocol::kOpenTicks) {
            GoTo(Run.MainUpload ? State::ReportPort : State::FactoryPortFailed);
        }
        return true;
    case State::ReportPort:
        PortReport();
        GoTo(State::Idle);
        return true;
    default:
        return false;
    }
}

void TSequencer::PortReport() {
    std::string word = "did not";
    if (Serial1.Active()) {
        out_.Offer(TOffer::ChooseFile, true);
        SaveCommsSettings();
        word = "is";
        NoteLowLatency();
    }
    const std::string port = portTextValid_ ? Serial1.DisplayName() : "Com " + Run.PortText;
    Show(TLine::PortStatus, "Port " + word + " open on " + port + " at " + std::to_string(Serial1.Baudrate()) + " baud");
    out_.ShowLine(TLine::Footer, false);
    if (!Serial1.Active()) {
        PortFault(OpenFault());
        // Another port is tried from the start screen: a port that did not open is no dead end.
        out_.Offer(TOffer::BackToStart, true);
        End(TResultKind::PortFailed, PortFailureReason());
    } else {
        out_.Awaiting(TOperatorStep::ChooseFile);
    }
}

// A driver that refused low latency holds each of the unit's replies for its latency timer: the
// transfer still works, slower, and every unit's result says why.
void TSequencer::NoteLowLatency() {
    lowLatencyWarning_.clear();
    if (const int error = Serial1.LowLatencyRefused()) {
        lowLatencyWarning_ = "the adapter's driver refused low latency (" + std::string(std::strerror(error)) +
                             "): each reply may wait for its latency timer; see zupflshc ports";
        out_.Warning(lowLatencyWarning_);
    }
}

// ---- preparing the file ----

void TSequencer::CheckInputFile() {
    out_.ShowGauge(false);
    const TInputNames names = SplitInputFileName(Run.InputFileName);
    Run.InputExt = names.InputExt;
    Run.BaseName = names.BaseName;
    const TInputFormat* format = FindInputFormat(Run.InputExt);
    const TInputKind kind = format ? format->Kind : TInputKind::Unknown;
    NoteInputFile();
    prepared_.reset();
    inputDigest_ = {};
    if (kind == TInputKind::Unknown) {
        GoTo(State::UnknownExtension);
        return;
    }
    if (kind == TInputKind::Upload) {
        Run.ZupFileName = Run.InputFileName;
        ReadUploadInput();
        return;
    }
    out_.Offer(TOffer::RunPanel, false);
    Run.HelpContext = 4;
    Run.ZupFileName = names.ZupFileName;
    Show(TLine::PortStatus, "Preparing input file, please wait ...", TColour::Blue);
    preparing_ = true;
    if (kind == TInputKind::IntelHex) {
        Run.BinFileName = names.BinFileName;
        // In memory there is no such file to name.
        if (!prepareInMemory_) Show(TLine::FileStatus, "Emptying binary file:  " + Run.BinFileName + " ...");
        GoTo(State::EmptyBinary);
    } else {
        Run.BinFileName = Run.InputFileName;
        Show(TLine::FileStatus, "Converting .BIN file to .ZUP format ...");
        format->Read(Run.BinFileName, BinImage, MainImageChunks, &inputDigest_);
        GoTo(State::CheckUploadFile);
    }
}

bool TSequencer::PreparationStep() {
    switch (Run.UploadState) {
    case State::UnknownExtension:
        out_.SetLine(TLine::PortStatus, "Unexpected file extension (" + Run.InputExt + "), choose another file", true);
        GoTo(State::Idle);
        End(TResultKind::FileFailed, "Unexpected file extension (" + Run.InputExt + ")");
        return true;
    case State::EmptyBinary: {
        const int chunks = Run.MainUpload ? MainImageChunks : FactoryImageChunks;
        if (prepareInMemory_) BinImage.EmptyImage(chunks);
        else BinImage.EmptyBinaryFile(Run.BinFileName, chunks);
        Show(TLine::FileStatus, "Processing .H86 input file to .BIN binary file ...");
        GoTo(State::HexToBinary);
        return true;
    }
    case State::HexToBinary: {
        FindInputFormat(Run.InputExt)->Read(Run.InputFileName, BinImage, BinImage.ImageChunks(), &inputDigest_);
        ReportLeftOut();
        RefuseEmptyImage();
        BinImage.Flush();
        Show(TLine::FileStatus, "Processing .BIN file to .ZUP format ...");
        GoTo(State::CheckUploadFile);
        return true;
    }
    case State::CheckUploadFile:
        // Make sure the upload block file can be written before the work of the next step, without
        // creating anything (a link's target least of all); the old file keeps its content until
        // the new one is complete.
        RefuseEmptyImage();
        if (!prepareInMemory_) CheckReplaceable(Run.ZupFileName);
        GoTo(State::BuildUploadFile);
        return true;
    case State::BuildUploadFile:
        BuildUpload();
        return true;
    case State::ReadyScreen:
        Show(TLine::Activity, "");
        Show(TLine::Headline, "THE UNIT MUST BE OFF", TColour::Red, 12);
        ShowWindowOnly(TLine::Instruction, "Click on <Start Upload> button", TColour::Blue, 12);
        out_.Offer(TOffer::StartRun, true);
        Show(TLine::FileStatus,
             "Upload will be " + std::to_string(Run.BlockCount) + " blocks," +
                 EstimateText(Run.BlockCount, Serial1.Baudrate()),
             TColour::Blue);
        GoTo(State::Idle);
        out_.Awaiting(TOperatorStep::StartUpload);
        return true;
    default:
        return false;
    }
}

void TSequencer::Prepared(std::vector<std::string> written) {
    result_.FilesWritten = std::move(written);
    End(TResultKind::Prepared, std::to_string(Run.BlockCount) + " blocks, checksum " + PreparedChecksum());
}

void TSequencer::BuildUpload() {
    HoldUpload(MakeUploadImage(BinImage));
    const TUploadImage& upload = prepared_->Upload;
    if (!prepareInMemory_) WriteUploadFile(upload, Run.ZupFileName);
    Run.BlockCount = static_cast<int32_t>(upload.Blocks.size());
    Run.LastReply = upload.Checksum;
    preparing_ = false;
    Show(TLine::PortStatus, "Data file conversion complete, chksum=" + upload.Checksum, TColour::Black);
    out_.Offer(TOffer::RunPanel, true);
    GoTo(State::ReadyScreen);
    std::vector<std::string> written;
    if (!prepareInMemory_ && InputKind(Run.InputExt) == TInputKind::IntelHex) written.push_back(Run.BinFileName);
    if (!prepareInMemory_) written.push_back(Run.ZupFileName);
    Prepared(std::move(written));
}

void TSequencer::HoldUpload(TUploadImage upload) {
    auto held = std::make_shared<TPreparedUpload>();
    held->UploadSha256 = UploadBlocksSha256(upload);
    held->Upload = std::move(upload);
    held->InputFile = Run.InputFileName;
    held->InputSize = inputDigest_.Size;
    held->InputSha256 = inputDigest_.Hash.HexDigest();
    prepared_ = std::move(held);
}

void TSequencer::ReportLeftOut() {
    // Data the unit's flash has no room for never reaches it; the operator must know the image
    // is not all of the file.
    const std::string leftOut = LeftOutText(BinImage.LeftOut(), BinImage.Bytes().size());
    if (leftOut.empty()) return;
    result_.Warnings.push_back(leftOut);
    out_.Message(leftOut);
}

void TSequencer::RefuseEmptyImage() const {
    // Erasing the unit for an image without a byte for its flash would leave it empty and call
    // that a success.
    const auto& bytes = BinImage.Bytes();
    if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; })) ThrowNoData();
}

void TSequencer::ThrowNoData() const {
    throw EInOutError("\"" + Run.InputFileName + "\" holds no data for the unit's flash", Run.InputFileName);
}

void TSequencer::ReadUploadInput() {
    // Read, checked and digested once, block by block; from here on the file is not read again.
    inputDigest_ = {};
    HoldUpload(ReadUploadFile(Run.ZupFileName, &inputDigest_));
    ReadyForUpload();
}

void TSequencer::ReadyForUpload() {
    if (!prepared_ || prepared_->Upload.Blocks.empty()) ThrowNoData();
    Run.BlockCount = static_cast<int32_t>(prepared_->Upload.Blocks.size());
    out_.Progress(0, std::max(Run.BlockCount, 1));
    out_.ShowGauge(false);
    out_.ShowLine(TLine::Footer, false);
    Show(TLine::Activity, "");
    Show(TLine::PortStatus, "");
    out_.Offer(TOffer::RepeatUpload, false);
    out_.Offer(TOffer::RunPanel, true);
    out_.Offer(TOffer::StartRun, true);
    Run.HelpContext = 4;
    Serial1.SetBaudrate(Run.UploadBaud);
    GoTo(State::ReadyScreen);
    Prepared({});
}
