// The Factory Bootstrap Upload: the C161's bootstrap loader at 19200 baud, then the FlashCode
// image through the block dialogue of the Software Upload.
#include <cstdio>

#include "engine/Progress.h"
#include "engine/Protocol.h"
#include "engine/Sequencer.h"
#include "firmware/BuiltinImages.h"
#include "firmware/IntelHex.h"
#include "firmware/UploadFile.h"

namespace {

// Machine code for the C161, sent through the on-chip bootstrap loader.
const char* const Loader1 = "E6582200E6F1AB00E6F200F67EB79AB7FE70A402B2FE"
                            "0821A0119DF8EA0000F6";
const char* const Loader2[3] = {
    "E005E6890002E6861E04E60C0308E68A1F06E60DE108E68B1E06E60E"
    "0403E68C0806E60F0000E68D0000BB0AE6585500BB13BB309A88FC60",
    "9AB6FE70FA0800006E88E6F400017EB7CB009AB7FE70F3F0B2FE7EB7"
    "0070CB00E007E000BBF649002D0749012D1549022D1049042D0ECB00",
    "BBECF030BBEAF130BBE8F120BBE6DC05B9010811A0133DFACB00BBDF"
    "F050CB006F88CB00F6F70EFECC005B44CC00F3FC0CFEA1C0F7FCB0FE7EB6CB00",
};

// Bytes a line of hexadecimal text puts on the wire: two digits each, a leading ':' aside.
size_t WireBytes(const std::string& hexLine) { return (hexLine.size() - (hexLine.rfind(':', 0) == 0 ? 1 : 0)) / 2; }

bool HasByte(const std::string& text, unsigned char b) { return text.find(static_cast<char>(b)) != std::string::npos; }

}  // namespace

int FactorySeconds() {
    // What the job sends at its two line speeds, 10 bits a byte, and the ticks it waits between
    // its stages: the loaders and the bootstrap records at 19200 baud, then the FlashCode blocks,
    // each with its request, at 38400.
    size_t bootstrap = WireBytes(Loader1);
    for (const char* part : Loader2) bootstrap += WireBytes(part);
    for (const std::string& line : MemoBootLines()) bootstrap += WireBytes(line);
    size_t data = 0;
    for (const std::string& line : MemoFlshCodeLines())
        if (line.size() >= 9 && line.compare(7, 2, "00") == 0) data += std::stoul(line.substr(1, 2), nullptr, 16);
    const size_t blocks = (data + 127) / 128;
    const double seconds = bootstrap * 10.0 / 19200 + blocks * (BlockSize + 12) * 10.0 / 38400 + 1.5;
    return static_cast<int>(seconds + 0.5);
}

uint8_t TSequencer::PrepareBootLine() {
    std::string taken;
    const uint8_t ack = ::PrepareBootLine(MemoBootLines(), Run.Boot, &taken);
    out_.HistoryReplaceLast(OperatorText("Sending line " + std::to_string(Run.Boot.LineCount) + "..."));
    if (!taken.empty()) WriteCapture(taken, "[mem]");
    return ack;
}

// ---- the port and the jumper instructions ----

bool TSequencer::FactoryPortStep() {
    switch (Run.UploadState) {
    case State::FactoryPortFailed:
        HistAdd("Com Port failed to open");
        // Another port is tried from the start screen, as after the Software Upload's port: the
        // factory screen is no dead end either.
        out_.Offer(TOffer::BackToStart, true);
        GoTo(State::Idle);
        PortFault(OpenFault());
        End(TResultKind::PortFailed, PortFailureReason());
        return true;
    case State::FactoryPortOpen:
        SaveCommsSettings();
        out_.Offer(TOffer::GoOn, true);
        Show(TLine::JumperNote,
             "With power off, put a jumper on the Bootstrap Enable header (JP1)"
             " and a jumper on the Bootblock Unprotect header (JP2)",
             TColour::Red, 11);
        out_.ShowLine(TLine::ForceRs232, false);
        ShowWindowOnly(TLine::FactoryPrompt, "Turn the Unit power on, then click on <Proceed>", TColour::Blue, 11);
        out_.Awaiting(TOperatorStep::FitJumpers);
        Serial1.SetBaudrate(19200);
        Show(TLine::FactoryEstimate, "Factory Upload will take about " + std::to_string(FactorySeconds()) + " seconds",
             TColour::Blue);
        HistAdd("Port is open on " + Serial1.DisplayName() + " at " + std::to_string(Serial1.Baudrate()) + " baud");
        GoTo(State::Idle);
        return true;
    default:
        return false;
    }
}

// ---- zero byte, identification and the two loaders ----

bool TSequencer::BootstrapStep() {
    switch (Run.UploadState) {
    case State::SendZeroByte:
        Link.SendZeroByte();
        Run.TryCount += 1;
        GoTo(State::AwaitIdent);
        return true;
    case State::AwaitIdent:
        CheckIdent();
        return true;
    case State::SendLoader1:
        HistAdd("Sending Loader 1...");
        Run.Boot.HexToSend = Loader1;
        Link.SendHexBytes(Run.Boot.HexToSend);
        Run.TryCount = 0;
        GoTo(State::AwaitLoader1);
        return true;
    case State::AwaitLoader1:
        AwaitLoader(0x22, Protocol::kLoader1Tries, "Loader 1 complete", "Problem - bad checksum response to Loader1",
                    "Timed out waiting for response to Loader 1", State::SendLoader2);
        return true;
    case State::SendLoader2:
        HistAdd("Sending Loader 2...");
        for (const char* part : Loader2) {
            Run.Boot.HexToSend = part;
            Link.SendHexBytes(Run.Boot.HexToSend);
        }
        Run.TryCount = 0;
        GoTo(State::AwaitLoader2);
        return true;
    case State::AwaitLoader2:
        AwaitLoader('U', Protocol::kLoader2Tries, "Loader 2 complete", "Problem - bad checksum response to Loader 2",
                    "Timed out waiting for response to Loader 2", State::AwaitRecordAck);
        if (Run.UploadState != State::AwaitRecordAck) return true;
        HistAdd("Sending Bootstrap...");
        HistAdd("Sending Lines...");
        Run.Boot = TBootLineState{};
        Run.ExpectedAck = PrepareBootLine();
        Link.SendHexBytes(Run.Boot.HexToSend);
        Run.TryCount = 0;
        Run.BadAckCount = 0;
        return true;
    default:
        return false;
    }
}

void TSequencer::CheckIdent() {
    const std::string& rx = Link.RxBuffer;
    if (!rx.empty()) {
        if (HasByte(rx, 0xB5) || HasByte(rx, 0xD5)) {
            HistAdd("Got correct response from C161 chip");
            result_.UnitAnswered = true;
            out_.UnitAnswered();
            GoTo(State::SendLoader1);
        } else {
            FactoryFailed(TResultKind::UnitFailed, "Got C161 response: " + rx);
        }
        return;
    }
    Run.TryCount += 1;
    if (Run.TryCount > Protocol::kIdentTries) {
        out_.ShowLine(TLine::FactoryPrompt, false);
        result_.UnitNeverAnswered = true;
        PortFault(TPortFault::NoAnswer);
        FactoryFailed(TResultKind::TimedOut, "Timed out waiting for response to initial character");
    } else if (Run.TryCount % Protocol::kIdentResendEvery == 0) {
        GoTo(State::SendZeroByte);
    }
}

void TSequencer::AwaitLoader(int ackByte, int tries, const char* done, const char* bad, const char* timeout,
                             int32_t nextState) {
    const std::string& rx = Link.RxBuffer;
    if (!rx.empty()) {
        if (HasByte(rx, static_cast<unsigned char>(ackByte))) {
            HistAdd(done);
            GoTo(nextState);
        } else {
            FactoryFailed(TResultKind::UnitFailed, bad);
        }
    } else if (++Run.TryCount > tries) {
        FactoryFailed(TResultKind::TimedOut, timeout);
    }
}

// ---- bootstrap records, one per acknowledgement ----

bool TSequencer::RecordStep() {
    if (Run.UploadState != State::AwaitRecordAck) return false;
    CheckRecordAck();
    return true;
}

void TSequencer::CheckRecordAck() {
    const std::string& rx = Link.RxBuffer;
    if (Run.Boot.LastLineSent) {
        // The end record is not acknowledged. The speed changes only after a whole tick has
        // passed since it went out, as when every record waited for a tick: a record still in
        // the line's output when the speed changes would reach the loader garbled.
        if (!RunByArrival() && tickCount_ > endRecordTick_ + 1) GoTo(State::RaiseBaud);
    } else if (!rx.empty()) {
        if (HasByte(rx, Run.ExpectedAck)) {
            Run.ExpectedAck = PrepareBootLine();
            Link.SendHexBytes(Run.Boot.HexToSend);
            endRecordTick_ = tickCount_;
            Run.TryCount = 0;
            Run.BadAckCount = 0;
        } else if (++Run.BadAckCount < Protocol::kBadAckLimit) {
            Link.SendHexBytes(Run.Boot.HexToSend);
        } else {
            FactoryFailed(TResultKind::UnitFailed, "Problem - got bad checksum 5 times, bad cable?");
        }
    } else if (++Run.TryCount > Protocol::kRecordTries) {
        FactoryFailed(TResultKind::TimedOut, "Timed out waiting for response to Bootstrap line");
    }
}

// ---- 38400 baud, the FlashCode image and the end ----

bool TSequencer::FlashCodeStep() {
    switch (Run.UploadState) {
    case State::RaiseBaud:
        Serial1.SetBaudrate(38400);
        HistAdd("Bootstrap Upload complete");
        HistAdd("Changing baudrate to 38400...");
        GoTo(State::PurgeAfterBaud);
        return true;
    case State::PurgeAfterBaud:
        PurgeInput();
        GoTo(State::EmptyFlashCodeBinary);
        return true;
    case State::EmptyFlashCodeBinary:
        ++factoryJobs_;
        Run.BaseName = "Reserved";
        Run.ZupFileName = Run.ProgramFolder + FactoryFileBase() + ".ZUP";
        Run.BinFileName = Run.ProgramFolder + FactoryFileBase() + ".BIN";
        HistAdd("Emptying binary file...");
        BinImage.EmptyBinaryFile(Run.BinFileName, FactoryImageChunks);
        GoTo(State::PurgeAfterEmpty);
        return true;
    case State::PurgeAfterEmpty:
        PurgeInput();
        GoTo(State::FlashCodeToBinary);
        return true;
    case State::FlashCodeToBinary:
        FlashCodeToBinary();
        return true;
    case State::FlashCodeToUploadFile:
        BuildFlashCodeUpload();
        return true;
    case State::FactoryComplete:
        FactoryComplete();
        return true;
    default:
        return false;
    }
}

void TSequencer::FlashCodeToBinary() {
    HistAdd("Binary file emptied");
    HistAdd("Processing .h86 to .bin format...");
    const auto& lines = MemoFlshCodeLines();
    size_t next = 0;
    THexReader reader;
    reader.HexToBinary(
        [&](std::string& line) {
            if (next >= lines.size()) return false;
            line = lines[next++];
            WriteCapture(line, "[fsh]");
            return true;
        },
        BinImage, "MemoFlshCode");
    BinImage.Flush();
    HistAdd(".bin complete");
    GoTo(State::FlashCodeToUploadFile);
}

void TSequencer::FactoryComplete() {
    Run.EndTime = TimeOfDayNow();
    runEnded_ = std::chrono::steady_clock::now();
    HistAdd("FlashCode Upload complete");
    out_.HistoryAdd(" ", true);
    out_.HistoryAdd("Factory Upload completed in " + ElapsedText(RunTime()), true);
    out_.TimeTaken({TJob::Factory, RunTime(), true});
    Show(TLine::FactoryEstimate, "");
    Show(TLine::JumperNote, "Turn off power to the Unit and remove the Bootstrap jumpers JP1 and JP2");
    ShowWindowOnly(TLine::FactoryPrompt, "Click on <Go Back to Start> to upload main Application Software",
                   TColour::Blue, 10);
    out_.Awaiting(TOperatorStep::RemoveJumpers);
    std::remove(Run.ZupFileName.c_str());
    std::remove(Run.BinFileName.c_str());
    out_.Offer(TOffer::BackToStart, true);
    GoTo(State::Idle);
    End(TResultKind::FactoryComplete, "Factory Upload complete");
}

void TSequencer::BuildFlashCodeUpload() {
    HistAdd("Processing .bin to .zup format...");
    auto flashCode = std::make_shared<TPreparedUpload>();
    flashCode->Upload = MakeUploadImage(BinImage);
    prepared_ = flashCode;
    const TUploadImage& upload = flashCode->Upload;
    WriteUploadFile(upload, Run.ZupFileName);
    Run.BlockCount = static_cast<int32_t>(upload.Blocks.size());
    Run.LastReply = upload.Checksum;
    HistAdd(".zup complete");
    HistAdd("Checksum is " + upload.Checksum);
    GoTo(State::FirstWakeUp);
}

void TSequencer::FactoryFailed(TResultKind kind, const std::string& line) {
    HistAdd(line);
    GoTo(State::Idle);
    End(kind, OperatorText(line));
}
