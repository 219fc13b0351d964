// The Software Upload dialogue with the unit's boot code: wake-up, GO and erase, the block
// transfer driven by the unit's requests, the end, and the checksum comparison after the restart.
#include <algorithm>

#include "engine/Progress.h"
#include "engine/Sequencer.h"
#include "base/RunError.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

bool TSequencer::HandshakeStep() {
    switch (UploadState) {
    case State::FirstWakeUp:
        Serial1.WriteString("U");
        WriteCapture("U", "[out]");
        TryCount += 1;
        UploadState = State::AwaitReady;
        return true;
    case State::AwaitReady:
        WaitingFor = "waiting for response";
        if (Contains(Link.RxBuffer, "READY")) {
            view_.ShowLine(TLine::Footer, true);
            UploadState = State::SendGo;
        } else {
            // The boot code locks its speed on this character, so it goes out once a tick.
            Serial1.WriteString("U");
            WriteCapture("U", "[out]");
            TryCount += 1;
            if (TryCount > 250) UploadState = State::TimedOut;
        }
        return true;
    case State::SendGo:
        BlocksSent = 0;
        BlockBuffer.clear();
        HistAdd("Got U,READY handshake");
        HistAdd("Sending GO");
        Show(TLine::Activity, "Got READY, sending GO...");
        SendCommandStep("", "GO", false);
        Link.WaitLimit = 1000;
        return true;
    case State::AwaitErasing:
        WaitingFor = "waiting for Erasing message";
        Await("ERASING", State::TimedOut, State::ShowErasing);
        return true;
    case State::ShowErasing:
        HistAdd("Erasing...");
        Show(TLine::Activity, "Erasing...");
        Link.WaitCount = 0;
        UploadState = State::AwaitEraseEnd;
        return true;
    case State::AwaitEraseEnd:
        WaitingFor = "waiting for Erase Complete/Timeout";
        Await("ERASE", State::TimedOut, State::EraseEnded);
        return true;
    case State::EraseEnded:
        if (Contains(LastReply, "ERASE ERROR")) {
            HistAdd(LastReply);
            Show(TLine::Activity, OperatorText(LastReply));
            Link.WaitCount = 0;
            UploadState = State::AwaitErrorBlock;
        } else if (Contains(LastReply, "COMPLETE")) {
            HistAdd("Erase complete");
            Show(TLine::Activity, "Erase complete...");
            ZupFile.Open(ZupFileName);
            UploadState = State::StartTransfer;
        } else {
            Show(TLine::Activity, "unexpected response: " + OperatorText(LastReply));
            UploadState = State::Idle;
        }
        return true;
    case State::AwaitErrorBlock:
        WaitingFor = "waiting for Error Block";
        WriteCapture(LastReply, "[in]");
        Await("BLOCK", State::TimedOut, State::ShowErrorBlock);
        return true;
    case State::ShowErrorBlock:
        HistAdd(LastReply);
        Show(TLine::Activity, OperatorText(LastReply));
        Link.WaitCount = 0;
        UploadState = State::AwaitEraseEnd;
        return true;
    default:
        return false;
    }
}

bool TSequencer::TransferStep() {
    switch (UploadState) {
    case State::StartTransfer:
        ZupFile.Rewind();
        view_.SetGauge(0, std::max(BlockCount, 1));
        view_.ShowGauge(true);
        Link.WaitCount = 0;
        HistAdd("Sending FlashCode...");
        HistAdd("Sending Lines...");
        UploadState = State::AwaitRequest;
        return true;
    case State::AwaitRequest:
        AnswerRequest();
        return true;
    case State::Silence:
        Silence();
        return true;
    case State::SendUploadDone:
        SendCommandStep("", "UPLOAD DONE", false);
        Show(TLine::Headline, "Upload done...");
        return true;
    case State::AwaitThankYou:
        WaitingFor = "waiting for Thank You";
        Await("THANK YOU", State::TimedOut, State::TransferDone);
        return true;
    case State::TransferDone:
        TransferDone();
        return true;
    default:
        return false;
    }
}

void TSequencer::AnswerRequest() {
    WaitingFor = "waiting for SEND BLOCK message";
    Await("LO", State::Silence, State::RequestArrived);
    if (UploadState != State::RequestArrived) return;
    if (Contains(LastReply, "RESEND")) {
        SendBlock();
        Link.WaitCount = 0;
        UploadState = State::AwaitRequest;
    } else if (Contains(LastReply, "SEND")) {
        if (BlocksSent == BlockCount) {
            UploadState = State::SendUploadDone;
        } else {
            SendNextBlock();
            Link.WaitCount = 0;
            UploadState = State::AwaitRequest;
        }
    } else if (Contains(LastReply, "FAILED")) {
        Show(TLine::Activity, "Upload failed");
        Show(TLine::Instruction, "");
        CloseCapture();
        view_.CaptureChanged(false);
        UploadState = State::Halted;
    } else {
        UploadState = State::Silence;
    }
}

void TSequencer::Silence() {
    if (Serial1.LineLost()) {
        // The line to the unit has gone (adapter unplugged, device closed): there is nobody to
        // resend to, so the transfer ends with its timeout report and the system's reason.
        view_.SetLineHint(TLine::PortStatus, Serial1.ErrorText());
        UploadState = State::TimedOut;
        return;
    }
    Link.RxBuffer.clear();
    if (!BlockBuffer.empty()) {
        WriteCapture("resend", "[out]");
        SendBlock();
    }
    Link.WaitCount = 0;
    UploadState = State::AwaitRequest;
}

void TSequencer::TransferDone() {
    if (!MainUpload) {
        UploadState = State::FactoryComplete;
        return;
    }
    EndTime = TimeOfDayNow();
    Show(TLine::Activity, "");
    view_.ShowGauge(false);
    FileChecksum = ZupFile.ReadFileChecksum();
    Show(TLine::Headline, "Software Upload complete");
    ZupFile.Close();
    HelpContext = 5;
    if (BlockCount >= 2000) {
        Show(TLine::Instruction, "Unit re-booting, wait ...");
        RebootTicks = 0;
        Serial1.SetBaudrate(9600);
        UploadState = State::AwaitRestart;
    } else {
        UploadState = State::Complete;
    }
}

void TSequencer::SendNextBlock() {
    std::string block;
    if (!ZupFile.ReadBlock(block))
        throw EInOutError("Upload block file ended before block " + std::to_string(BlocksSent + 1) + ": \"" +
                              ZupFile.FileName() + "\"",
                          ZupFile.FileName());
    BlockBuffer = std::move(block);
    SendBlock();
    BlocksSent += 1;
    view_.SetGauge(BlocksSent, std::max(BlockCount, 1));
    const std::string text = "Sending block " + std::to_string(BlocksSent) + " of " + std::to_string(BlockCount) + "...";
    view_.HistoryReplaceLast(text);
    Show(TLine::Activity, text);
}

void TSequencer::SendBlock() {
    Link.RxBuffer.clear();
    if (BlockBuffer.empty()) return;  // nothing of this upload has been read yet
    if (Capture.CaptureOn())
        for (const auto& [tag, text] : DumpBlockLines(BlockBuffer)) WriteCapture(text, tag);
    for (unsigned char b : BlockBuffer) Link.SendByte(b);
}

// ---- verification after the unit's restart ----

bool TSequencer::VerificationStep() {
    switch (UploadState) {
    case State::AwaitRestart:
        RebootTicks += 1;
        if (RebootTicks >= 90) {
            Link.WaitLimit = 100;
            Show(TLine::Instruction, "Querying unit memory checksum ...");
            verifying_ = true;
            TryCount = 0;
            UploadState = State::SendSwrQuery;
        }
        return true;
    case State::SendSwrQuery:
        SendCommandStep("0000", "SWR?", true);
        TryCount += 1;
        return true;
    case State::AwaitSwr:
        WaitingFor = "waiting for SWR=";
        Await("SWR=", State::SendSwrQuery, State::SendFcsQuery, true);
        if (UploadState == State::SendSwrQuery && TryCount >= 20) UploadState = State::TimedOut;
        return true;
    case State::SendFcsQuery:
        SendCommandStep("0000", "FCS?", true);
        Link.WaitLimit = 200;
        return true;
    case State::AwaitFcs:
        WaitingFor = "waiting for FCS";
        Await("FCS", State::TimedOut, State::CompareChecksums, true);
        return true;
    case State::CompareChecksums:
        CompareChecksums();
        return true;
    default:
        return false;
    }
}

void TSequencer::CompareChecksums() {
    const size_t p = LastReply.find("Main");
    // Without "Main" the characters at positions 5 to 8 are taken, as the unit's reply format
    // would place them.
    const size_t from = (p == std::string::npos ? 0 : p + 1) + 4;
    UnitChecksum = from < LastReply.size() ? LastReply.substr(from, 4) : std::string();
    verifying_ = false;
    Show(TLine::PortStatus, "Unit memory checksum: " + UnitChecksum);
    Show(TLine::FileStatus, "Upload file checksum: " + FileChecksum, TColour::Black);
    if (UnitChecksum == FileChecksum && FileChecksum.size() == 4)
        Show(TLine::Headline, "Checksums match, Upload successful", TColour::Green);
    else
        Show(TLine::Headline, "Checksums different, Upload failed", TColour::Red);
    UploadState = State::Complete;
}

// ---- ends ----

bool TSequencer::EndStep() {
    switch (UploadState) {
    case State::Complete:
        view_.Offer(TOffer::BackToStart, true);
        view_.Offer(TOffer::RepeatUpload, true);
        Show(TLine::Footer, "Program complete. <Go back to Start> or <Close>", TColour::Blue, 12);
        Show(TLine::Instruction, "Upload complete. Time taken: " + ElapsedText(StartTime, EndTime), TColour::Black);
        UploadState = State::Idle;
        return true;
    case State::Halted:
        Show(TLine::Headline, "Software upload halted");
        Show(TLine::Footer, "Click on <Close> button", TColour::Blue, 12);
        if (MainUpload) {
            view_.Offer(TOffer::RepeatUpload, true);
        } else {
            // The texts above sit on the hidden Software Upload screen, and a repeat from there
            // would lead to that hidden ready screen: the factory screen says what happened and
            // offers the way back only.
            HistAdd("Upload failed");
        }
        view_.Offer(TOffer::BackToStart, true);
        UploadState = State::Idle;
        return true;
    case State::TimedOut:
        if (verifying_) {
            // The firmware went out but the unit never gave its checksum: that is not a success,
            // and the headline must not stay saying "complete".
            Show(TLine::Headline, "Upload not verified", TColour::Red);
            Show(TLine::Instruction, "Firmware was sent, but its checksum was not verified", TColour::Red);
            verifying_ = false;
        }
        view_.Offer(TOffer::BackToStart, true);
        if (MainUpload) view_.Offer(TOffer::RepeatUpload, true);
        HistAdd("Timed out " + WaitingFor);
        Show(TLine::Activity, "Timed out " + WaitingFor);
        Show(TLine::Footer, "");
        UploadState = State::Idle;
        return true;
    default:
        return false;
    }
}
