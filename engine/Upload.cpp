// The Software Upload dialogue with the unit's boot code: wake-up, GO and erase, the block
// transfer driven by the unit's requests, the end, and the checksum comparison after the restart.
#include <algorithm>

#include "base/RunError.h"
#include "engine/Progress.h"
#include "engine/Protocol.h"
#include "engine/Sequencer.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

bool TSequencer::HandshakeStep() {
    switch (Run.UploadState) {
    case State::FirstWakeUp:
        Link.SendWakeUp();
        Run.TryCount += 1;
        GoTo(State::AwaitReady);
        return true;
    case State::AwaitReady:
        Run.WaitingFor = "waiting for response";
        if (Contains(Link.RxBuffer, "READY")) {
            out_.ShowLine(TLine::Footer, true);
            out_.Awaiting(TOperatorStep::None);
            result_.UnitAnswered = true;
            out_.UnitAnswered();
            GoTo(State::SendGo);
        } else {
            // The boot code locks its speed on this character, so it goes out once a tick.
            Link.SendWakeUp();
            Run.TryCount += 1;
            if (Run.TryCount > Protocol::kWakeUpTries) {
                result_.UnitNeverAnswered = Link.RxBuffer.empty();
                if (result_.UnitNeverAnswered) PortFault(TPortFault::NoAnswer);
                GoTo(State::TimedOut);
            }
        }
        return true;
    case State::SendGo:
        Run.BlocksSent = 0;
        Run.BlockBuffer.clear();
        HistAdd("Got U,READY handshake");
        HistAdd("Sending GO");
        Show(TLine::Activity, "Got READY, sending GO...");
        unitTouched_ = true;
        SendCommandStep("", "GO", false, State::AwaitErasing);
        Link.WaitLimit = Protocol::kTransferReplyTicks;
        return true;
    case State::AwaitErasing:
        Run.WaitingFor = "waiting for Erasing message";
        Await("ERASING", State::TimedOut, State::ShowErasing);
        return true;
    case State::ShowErasing:
        HistAdd("Erasing...");
        Show(TLine::Activity, "Erasing...");
        Link.WaitCount = 0;
        GoTo(State::AwaitEraseEnd);
        return true;
    case State::AwaitEraseEnd:
        Run.WaitingFor = "waiting for Erase Complete/Timeout";
        Await("ERASE", State::TimedOut, State::EraseEnded);
        return true;
    case State::EraseEnded:
        EraseEnded();
        return true;
    case State::AwaitErrorBlock:
        Run.WaitingFor = "waiting for Error Block";
        WriteCapture(Run.LastReply, "[in]");
        Await("BLOCK", State::TimedOut, State::ShowErrorBlock);
        return true;
    case State::ShowErrorBlock:
        HistAdd(Run.LastReply);
        Show(TLine::Activity, OperatorText(Run.LastReply));
        // The unit goes on with its erase; should it complete, the upload still succeeds, but the
        // operator learns which block it reported.
        result_.Warnings.push_back(OperatorText(Run.LastReply));
        out_.Warning(result_.Warnings.back());
        Link.WaitCount = 0;
        GoTo(State::AwaitEraseEnd);
        return true;
    default:
        return false;
    }
}

void TSequencer::EraseEnded() {
    if (Contains(Run.LastReply, "ERASE ERROR")) {
        HistAdd(Run.LastReply);
        Show(TLine::Activity, OperatorText(Run.LastReply));
        result_.Warnings.push_back(OperatorText(Run.LastReply));
        out_.Warning(result_.Warnings.back());
        Link.WaitCount = 0;
        GoTo(State::AwaitErrorBlock);
    } else if (Contains(Run.LastReply, "COMPLETE")) {
        HistAdd("Erase complete");
        Show(TLine::Activity, "Erase complete...");
        GoTo(State::StartTransfer);
    } else {
        Show(TLine::Activity, "unexpected response: " + OperatorText(Run.LastReply));
        GoTo(State::Idle);
        End(TResultKind::UnitFailed, "unexpected response: " + OperatorText(Run.LastReply));
    }
}

bool TSequencer::TransferStep() {
    switch (Run.UploadState) {
    case State::StartTransfer:
        lastHeard_ = std::chrono::steady_clock::now();
        out_.Progress(0, std::max(Run.BlockCount, 1));
        out_.ShowGauge(true);
        Link.WaitCount = 0;
        pace_.Start(Serial1.Baudrate());
        HistAdd("Sending FlashCode...");
        HistAdd("Sending Lines...");
        GoTo(State::AwaitRequest);
        return true;
    case State::AwaitRequest:
        AnswerRequest();
        return true;
    case State::Silence:
        Silence();
        return true;
    case State::SendUploadDone:
        SendCommandStep("", "UPLOAD DONE", false, State::AwaitThankYou);
        Show(TLine::Headline, "Upload done...");
        return true;
    case State::AwaitThankYou:
        Run.WaitingFor = "waiting for Thank You";
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
    Run.WaitingFor = "waiting for SEND BLOCK message";
    Await("LO", State::Silence, State::RequestArrived);
    if (Run.UploadState != State::RequestArrived) return;
    pace_.ReplyRead(Serial1.Now(), Run.LastReply.size());
    silentWaits_ = 0;
    if (Contains(Run.LastReply, "RESEND")) {
        ResendRequested();
    } else if (Contains(Run.LastReply, "SEND")) {
        sameBlockResends_ = 0;
        if (Run.BlocksSent == Run.BlockCount) {
            GoTo(State::SendUploadDone);
        } else {
            SendNextBlock();
            Link.WaitCount = 0;
            GoTo(State::AwaitRequest);
        }
    } else if (Contains(Run.LastReply, "FAILED")) {
        Show(TLine::Activity, "Upload failed");
        Show(TLine::Instruction, "");
        CloseCapture();
        out_.CaptureChanged(false);
        GoTo(State::Halted);
    } else {
        GoTo(State::Silence);
    }
}

void TSequencer::ResendRequested() {
    if (!Run.BlockBuffer.empty() && ++sameBlockResends_ > Protocol::kResendLimit) {
        // A block the unit never takes (a corrupt file, a line that garbles it every time) would
        // otherwise be sent for ever.
        haltReason_ = "the unit asked for block " + std::to_string(Run.BlocksSent) + " again " +
                      std::to_string(sameBlockResends_) + " times; it last said " + OperatorText(Run.LastReply);
        Show(TLine::Activity, "Upload failed");
        Show(TLine::Instruction, "");
        GoTo(State::Halted);
        return;
    }
    if (!Run.BlockBuffer.empty()) {
        result_.Resends += 1;
        SendBlock(Run.BlockBuffer);
    } else {
        Link.RxBuffer.clear();  // nothing of this upload has been sent yet
    }
    Link.WaitCount = 0;
    GoTo(State::AwaitRequest);
}

void TSequencer::Silence() {
    if (Serial1.LineLost()) {
        // The line to the unit has gone (adapter unplugged, device closed): there is nobody to
        // resend to, so the transfer ends with its timeout report and the system's reason.
        PortFault(TPortFault::LineLost);
        GoTo(State::TimedOut);
        return;
    }
    if (++silentWaits_ >= Protocol::kSilentWaitLimit) {
        // A unit that has stopped answering will not start again because it is sent more.
        GoTo(State::TimedOut);
        return;
    }
    Link.RxBuffer.clear();
    if (!Run.BlockBuffer.empty()) {
        result_.Resends += 1;
        SendBlock(Run.BlockBuffer, true);
    }
    Link.WaitCount = 0;
    GoTo(State::AwaitRequest);
}

void TSequencer::TransferDone() {
    if (!Run.MainUpload) {
        GoTo(State::FactoryComplete);
        return;
    }
    Run.EndTime = TimeOfDayNow();
    runEnded_ = std::chrono::steady_clock::now();
    Show(TLine::Activity, "");
    out_.ShowGauge(false);
    Run.FileChecksum = prepared_->Upload.Checksum;
    Show(TLine::Headline, "Software Upload complete");
    Run.HelpContext = 5;
    if (VerifiesAfterRestart()) {
        Show(TLine::Instruction, "Unit re-booting, wait ...");
        Run.RebootTicks = 0;
        Serial1.SetBaudrate(9600);
        GoTo(State::AwaitRestart);
    } else {
        GoTo(State::Complete);
    }
}

void TSequencer::SendNextBlock() {
    const std::vector<std::string>& blocks = prepared_->Upload.Blocks;
    if (Run.BlocksSent >= static_cast<int32_t>(blocks.size()))
        throw EInOutError("Upload block file ended before block " + std::to_string(Run.BlocksSent + 1) + ": \"" +
                              Run.ZupFileName + "\"",
                          Run.ZupFileName);
    Run.BlockBuffer = blocks[static_cast<size_t>(Run.BlocksSent)];
    SendBlock(Run.BlockBuffer);
    Run.BlocksSent += 1;
    out_.Progress(Run.BlocksSent, std::max(Run.BlockCount, 1));
}

void TSequencer::SendBlock(const std::string& block, bool again) {
    Link.SendBlock(block, again);
    // Taken once the write has returned: the bytes are then with the driver, on their way out.
    pace_.BlockSent(Serial1.Now(), block.size());
}

// ---- verification after the unit's restart ----

bool TSequencer::VerificationStep() {
    switch (Run.UploadState) {
    case State::AwaitRestart:
        Run.RebootTicks += 1;
        if (Run.RebootTicks >= Protocol::kRebootTicks) {
            Link.WaitLimit = Protocol::kSwrReplyTicks;
            Show(TLine::Instruction, "Querying unit memory checksum ...");
            verifying_ = true;
            answeredAfterRestart_ = false;
            Run.TryCount = 0;
            GoTo(State::SendSwrQuery);
        }
        return true;
    case State::SendSwrQuery:
        SendCommandStep("0000", "SWR?", true, State::AwaitSwr);
        Run.TryCount += 1;
        return true;
    case State::AwaitSwr:
        Run.WaitingFor = "waiting for SWR=";
        switch (Link.AwaitReplyLF("SWR=", Run.LastReply)) {
        case TReplyWait::Arrived:
            answeredAfterRestart_ = true;
            result_.UnitVersion = SoftwareVersion(Run.LastReply);
            GoTo(State::SendFcsQuery);
            break;
        case TReplyWait::GaveUp:
            // Asked again, a limited number of times.
            GoTo(Run.TryCount >= Protocol::kSwrTries ? State::TimedOut : State::SendSwrQuery);
            break;
        case TReplyWait::Waiting: break;
        }
        return true;
    case State::SendFcsQuery:
        SendCommandStep("0000", "FCS?", true, State::AwaitFcs);
        Link.WaitLimit = Protocol::kFcsReplyTicks;
        return true;
    case State::AwaitFcs:
        Run.WaitingFor = "waiting for FCS";
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
    const size_t p = Run.LastReply.find("Main");
    // Without "Main" the characters at positions 5 to 8 are taken, as the unit's reply format
    // would place them.
    const size_t from = (p == std::string::npos ? 0 : p + 1) + 4;
    Run.UnitChecksum = from < Run.LastReply.size() ? Run.LastReply.substr(from, 4) : std::string();
    verifying_ = false;
    Show(TLine::PortStatus, "Unit memory checksum: " + Run.UnitChecksum);
    Show(TLine::FileStatus, "Upload file checksum: " + Run.FileChecksum, TColour::Black);
    if (!VersionMatches())
        Show(TLine::Headline, "Software version different, Upload failed", TColour::Red);
    else if (ChecksumsMatch())
        Show(TLine::Headline, "Checksums match, Upload successful", TColour::Green);
    else
        Show(TLine::Headline, "Checksums different, Upload failed", TColour::Red);
    GoTo(State::Complete);
}

bool TSequencer::ChecksumsMatch() const {
    return Run.UnitChecksum == Run.FileChecksum && Run.FileChecksum.size() == 4;
}

bool TSequencer::VerifiesAfterRestart() const {
    return verifyEvery_ || !expectedVersion_.empty() || Run.BlockCount >= Protocol::kVerifiedFromBlocks;
}

bool TSequencer::UploadSucceeded() const { return !VerifiesAfterRestart() || (ChecksumsMatch() && VersionMatches()); }

// ---- ends ----

bool TSequencer::EndStep() {
    switch (Run.UploadState) {
    case State::Complete:
        out_.Offer(TOffer::BackToStart, true);
        out_.Offer(TOffer::RepeatUpload, true);
        ShowWindowOnly(TLine::Footer, "Program complete. <Go back to Start> or <Close>", TColour::Blue, 12);
        out_.SetLine(TLine::Instruction, "Upload complete. Time taken: " + ElapsedText(RunTime()), false, true);
        out_.StyleLine(TLine::Instruction, TColour::Black);
        out_.TimeTaken({TJob::Upload, RunTime(), UploadSucceeded()});
        GoTo(State::Idle);
        UploadComplete();
        return true;
    case State::Halted:
        Show(TLine::Headline, "Software upload halted");
        ShowWindowOnly(TLine::Footer, "Click on <Close> button", TColour::Blue, 12);
        if (Run.MainUpload) {
            out_.Offer(TOffer::RepeatUpload, true);
        } else {
            // The texts above sit on the hidden Software Upload screen, and a repeat from there
            // would lead to that hidden ready screen: the factory screen says what happened and
            // offers the way back only.
            HistAdd("Upload failed");
        }
        out_.Offer(TOffer::BackToStart, true);
        GoTo(State::Idle);
        if (!haltReason_.empty()) End(TResultKind::UnitFailed, haltReason_);
        else if (Run.MainUpload) End(TResultKind::UnitFailed, "the unit reported " + OperatorText(Run.LastReply));
        else End(TResultKind::UnitFailed, "Upload failed");
        return true;
    case State::TimedOut:
        TimedOut();
        return true;
    default:
        return false;
    }
}

void TSequencer::UploadComplete() {
    const std::string blocks = std::to_string(Run.BlockCount);
    if (!VerifiesAfterRestart())
        End(TResultKind::Sent, blocks + " blocks sent");
    else if (!VersionMatches())
        End(TResultKind::VersionDifferent,
            "software version different: unit " + result_.UnitVersion + ", required " + expectedVersion_);
    else if (ChecksumsMatch())
        End(TResultKind::Verified, "verified, checksum " + Run.FileChecksum);
    else
        End(TResultKind::ChecksumsDifferent,
            "checksums different: unit " + Run.UnitChecksum + ", file " + Run.FileChecksum);
}

std::chrono::milliseconds TSequencer::UnitSilentFor() const {
    switch (Run.UploadState) {
    case State::AwaitRequest:
    case State::Silence:
    case State::AwaitThankYou:
        if (!Writing()) return std::chrono::milliseconds(0);
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - lastHeard_);
    default: return std::chrono::milliseconds(0);
    }
}

bool TSequencer::EndIfLineLost() {
    switch (Run.UploadState) {
    case State::AwaitErasing:
    case State::AwaitEraseEnd:
    case State::AwaitErrorBlock:
    case State::AwaitRequest:
    case State::Silence:
    case State::AwaitThankYou:
    case State::AwaitSwr:
    case State::AwaitFcs: break;
    default: return false;  // nothing is awaited of the unit, or the end is already on its way
    }
    // The loss is a fact once the serial component has told its reason (it tells it just after it
    // marks the line): the record then says why, not only that.
    if (!Writing() || !Serial1.LineLost() || Serial1.ErrorCode() == 0) return false;
    PortFault(TPortFault::LineLost);
    GoTo(State::TimedOut);
    return true;
}

std::string TSequencer::WaitEndedReason() const {
    if (result_.PortFault != TPortFault::LineLost) return "timed out " + Run.WaitingFor;
    const std::string why = result_.SystemReason.empty() ? std::string() : ": " + result_.SystemReason;
    return "the line to the unit went away on " + Serial1.DeviceName() + why;
}

void TSequencer::TimedOut() {
    const bool verifying = verifying_;
    // Not one answer since THANK YOU: the unit stopped answering after its restart.
    const bool silentSinceRestart = verifying && !answeredAfterRestart_;
    if (verifying) {
        // The firmware went out but the unit never gave its checksum: that is not a success,
        // and the headline must not stay saying "complete".
        Show(TLine::Headline, "Upload not verified", TColour::Red);
        Show(TLine::Instruction, "Firmware was sent, but its checksum was not verified", TColour::Red);
    }
    out_.Offer(TOffer::BackToStart, true);
    if (Run.MainUpload) out_.Offer(TOffer::RepeatUpload, true);
    const std::string reason = WaitEndedReason();
    const bool lost = result_.PortFault == TPortFault::LineLost;
    // The screen's lines stay the dialogue's own; the result says what ended it.
    HistAdd("Timed out " + Run.WaitingFor);
    Show(TLine::Activity, "Timed out " + Run.WaitingFor);
    Show(TLine::Footer, "");
    GoTo(State::Idle);
    result_.Awaited = Run.WaitingFor;
    if (!Run.MainUpload) End(TResultKind::TimedOut, OperatorText(lost ? reason : "Timed out " + Run.WaitingFor));
    else if (silentSinceRestart && !lost)
        End(TResultKind::NotVerified, "Upload not verified: the unit stopped answering after its restart (timed out " +
                                          Run.WaitingFor + ")");
    else if (verifying) End(TResultKind::NotVerified, "Upload not verified: " + reason);
    else End(TResultKind::TimedOut, reason);
}

std::string SoftwareVersion(const std::string& swrReply) {
    // "<0000/SWR=2.14\r\n": what follows the key, up to the line end.
    const auto key = swrReply.find("SWR=");
    if (key == std::string::npos) return {};
    std::string version = swrReply.substr(key + 4);
    while (!version.empty() && (version.back() == '\r' || version.back() == '\n')) version.pop_back();
    return OperatorText(version);
}
