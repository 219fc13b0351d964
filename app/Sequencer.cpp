// The sequencer: one step of the numbered state machine per tick, and the Software Upload.
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QComboBox>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "app/Progress.h"
#include "app/Uflash8.h"
#include "base/RunError.h"

namespace {

void Colour(QLabel* label, const char* colour, int points = 0) {
    label->setStyleSheet(QString("color: %1").arg(colour));
    if (points) {
        QFont f = label->font();
        f.setPointSize(points);
        label->setFont(f);
    }
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

void TForm1::Timer1Timer() {
    // Message boxes, the file chooser and the processing of pending events all run the event loop,
    // which delivers further ticks; a tick never runs inside another one.
    if (inTick_) return;
    inTick_ = true;
    QCoreApplication::processEvents();
    Guarded([this] {
        if (Capture.CaptureOn()) WriteCapture(std::to_string(UploadState), "[pn]");
        RunStep();
    });
    inTick_ = false;
}

void TForm1::RunStep() {
    if (UploadState == 9 || (UploadState >= 541 && UploadState <= 599)) FactoryStep();
    else SoftwareUploadStep();
}

void TForm1::Await(const std::string& key, int failState, int nextState, bool lineFeed) {
    if (lineFeed) Link.AwaitReplyLF(key, failState, LastReply, nextState, UploadState);
    else Link.AwaitReply(key, failState, LastReply, nextState, UploadState);
}

void TForm1::SendCommandStep(const std::string& address, const std::string& command, bool addressed) {
    Link.SendCommand(address, command, addressed);
    Link.WaitCount = 0;
    UploadState += 1;
}

bool TForm1::PortTextValid(int& port) const {
    bool ok = false;
    port = CommPortBox->currentText().trimmed().toInt(&ok);
    return ok && port >= 1 && port <= 9;
}

void TForm1::PurgeInput() {
    Serial1.AbortRx();
    Serial1.AbortTx();
    std::string discard;
    Serial1.ReadString(discard);
    Link.RxBuffer.clear();
}

void TForm1::SoftwareUploadStep() {
    switch (UploadState) {
    // ---- opening the port (both jobs) ----
    case 5: {
        Serial1.SetBaudrate(UploadBaud);
        int port = 0;
        portTextValid_ = PortTextValid(port);
        if (portTextValid_) Serial1.SetPort(port);
        if (Capture.CaptureOn()) WriteCapture("com port open at " + BaudRateBox->currentText().toStdString(), "[co]");
        Link.RxBuffer.clear();
        // A port text that names no port opens nothing (and closes what was open), so the
        // operator gets the ordinary "did not open" report once.
        Serial1.SetActive(portTextValid_);
        Serial1.AbortRx();
        Serial1.AbortTx();
        OpenTicks = 0;
        UploadState = 6;
        break;
    }
    case 6:
        OpenTicks += 1;
        if (Serial1.Active()) {
            Serial1.AbortRx();
            Link.RxBuffer.clear();
            UploadState = MainUpload ? 10 : 541;
        } else if (OpenTicks >= 20) {
            UploadState = MainUpload ? 10 : 9;
        }
        break;
    case 10: {
        std::string word = "did not";
        if (Serial1.Active()) {
            BtnChooseFile->show();
            SaveCommsSettings();
            word = "is";
            Label12->setToolTip(QString());
        } else {
            // The system's reason stays available without changing the operator's text.
            Label12->setToolTip(QString::fromLocal8Bit(Serial1.ErrorText().c_str()));
        }
        const std::string port = portTextValid_ ? std::to_string(Serial1.Port())
                                                : CommPortBox->currentText().toStdString();
        SetText(Label12, "Port " + word + " open on Com " + port + " at " + std::to_string(Serial1.Baudrate()) + " baud");
        Label10->hide();
        UploadState = 0;
        break;
    }

    // ---- preparing the file ----
    case 102:
        SetText(Label12, "Unexpected file extension (" + InputExt + "), choose another file");
        UploadState = 0;
        break;
    case 104:
        BinImage.EmptyBinaryFile(BinFileName, MainUpload ? MainImageChunks : FactoryImageChunks);
        Label8->setText("Processing .H86 input file to .BIN binary file ...");
        UploadState = 112;
        break;
    case 112: {
        THexReader reader;
        reader.HexToBinaryFile(InputFileName, BinImage);
        BinImage.Flush();
        Label8->setText("Processing .BIN file to .ZUP format ...");
        UploadState = 123;
        break;
    }
    case 123: {
        // Make sure the upload block file can be written before the work of the next step; the
        // old file keeps its content until the new one is complete.
        int fd = ::open(ZupFileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) throw EInOutError("Cannot create file", ZupFileName, errno);
        ::close(fd);
        UploadState = 124;
        break;
    }
    case 124: {
        ZupFile.Close();
        TBuildResult r = BuildUploadFile(BinImage, ZupFileName);
        BlockCount = r.BlockCount;
        LastReply = r.Checksum;
        SetText(Label12, "Data file conversion complete, chksum=" + r.Checksum);
        Colour(Label12, "black");
        RunBox->show();
        UploadState = 42;
        break;
    }
    case 42:
        Label2->clear();
        Label15->setText("THE UNIT MUST BE OFF");
        Colour(Label15, "red", 12);
        Label4->setText("Click on <Start Upload> button");
        Colour(Label4, "blue", 12);
        BtnStartRun->show();
        SetText(Label8, "Upload will be " + std::to_string(BlockCount) + " blocks," +
                            EstimateText(BlockCount, Serial1.Baudrate()));
        Colour(Label8, "blue");
        UploadState = 0;
        break;

    // ---- wake-up handshake ----
    case 44:
        Serial1.WriteString("U");
        if (Capture.CaptureOn()) WriteCapture("U", "[out]");
        TryCount += 1;
        UploadState = 45;
        break;
    case 45:
        WaitingFor = "waiting for response";
        if (Contains(Link.RxBuffer, "READY")) {
            Label10->show();
            UploadState = 54;
        } else {
            Serial1.WriteString("U");
            if (Capture.CaptureOn()) WriteCapture("U", "[out]");
            TryCount += 1;
            if (TryCount > 250) UploadState = 99;
        }
        break;

    // ---- GO and erase ----
    case 54:
        BlocksSent = 0;
        BlockBuffer.clear();
        HistAdd("Got U,READY handshake");
        HistAdd("Sending GO");
        Label2->setText("Got READY, sending GO...");
        SendCommandStep("", "GO", false);
        Link.WaitLimit = 1000;
        break;
    case 55:
        WaitingFor = "waiting for Erasing message";
        Await("ERASING", 99, 56);
        break;
    case 56:
        HistAdd("Erasing...");
        Label2->setText("Erasing...");
        Link.WaitCount = 0;
        UploadState = 57;
        break;
    case 57:
        WaitingFor = "waiting for Erase Complete/Timeout";
        Await("ERASE", 99, 58);
        break;
    case 58:
        if (Contains(LastReply, "ERASE ERROR")) {
            HistAdd(LastReply);
            Label2->setText(OperatorText(LastReply));
            Link.WaitCount = 0;
            UploadState = 59;
        } else if (Contains(LastReply, "COMPLETE")) {
            HistAdd("Erase complete");
            Label2->setText("Erase complete...");
            ZupFile.Open(ZupFileName);
            UploadState = 66;
        } else {
            Label2->setText("unexpected response: " + OperatorText(LastReply));
            UploadState = 0;
        }
        break;
    case 59:
        WaitingFor = "waiting for Error Block";
        if (Capture.CaptureOn()) WriteCapture(LastReply, "[in]");
        Await("BLOCK", 99, 60);
        break;
    case 60:
        HistAdd(LastReply);
        Label2->setText(OperatorText(LastReply));
        Link.WaitCount = 0;
        UploadState = 57;
        break;

    // ---- block transfer, driven by the unit's requests ----
    case 66:
        ZupFile.Rewind();
        Gauge->setMaximum(std::max(BlockCount, 1));
        Gauge->setValue(0);
        Gauge->show();
        Link.WaitCount = 0;
        HistAdd("Sending FlashCode...");
        HistAdd("Sending Lines...");
        UploadState = 67;
        break;
    case 67:
        WaitingFor = "waiting for SEND BLOCK message";
        Await("LO", 999, 68);
        if (UploadState != 68) break;
        if (Contains(LastReply, "RESEND")) {
            SendBlock();
            Link.WaitCount = 0;
            UploadState = 67;
        } else if (Contains(LastReply, "SEND")) {
            if (BlocksSent == BlockCount) {
                UploadState = 73;
            } else {
                SendNextBlock();
                Link.WaitCount = 0;
                UploadState = 67;
            }
        } else if (Contains(LastReply, "FAILED")) {
            Label2->setText("Upload failed");
            Label4->clear();
            CloseCapture();
            ShowCaptureState();
            UploadState = 83;
        } else {
            UploadState = 999;
        }
        break;
    case 999:
        if (Serial1.LineLost()) {
            // The line to the unit has gone (adapter unplugged, device closed): there is nobody to
            // resend to, so the transfer ends with its timeout report and the system's reason.
            Label12->setToolTip(QString::fromLocal8Bit(Serial1.ErrorText().c_str()));
            UploadState = 99;
            break;
        }
        Link.RxBuffer.clear();
        if (!BlockBuffer.empty()) {
            if (Capture.CaptureOn()) WriteCapture("resend", "[out]");
            SendBlock();
        }
        Link.WaitCount = 0;
        UploadState = 67;
        break;

    // ---- end of the transfer ----
    case 73:
        SendCommandStep("", "UPLOAD DONE", false);
        Label15->setText("Upload done...");
        break;
    case 74:
        WaitingFor = "waiting for Thank You";
        Await("THANK YOU", 99, 75);
        break;
    case 75:
        if (!MainUpload) {
            UploadState = 599;
            break;
        }
        EndTime = TimeOfDayNow();
        Label2->clear();
        Gauge->hide();
        FileChecksum = ZupFile.ReadFileChecksum();
        Label15->setText("Software Upload complete");
        ZupFile.Close();
        HelpContext = 5;
        if (BlockCount >= 2000) {
            Label4->setText("Unit re-booting, wait ...");
            RebootTicks = 0;
            Serial1.SetBaudrate(9600);
            UploadState = 76;
        } else {
            UploadState = 82;
        }
        break;

    // ---- verification after the unit's restart ----
    case 76:
        RebootTicks += 1;
        if (RebootTicks >= 90) {
            Link.WaitLimit = 100;
            Label4->setText("Querying unit memory checksum ...");
            TryCount = 0;
            UploadState = 77;
        }
        break;
    case 77:
        SendCommandStep("0000", "SWR?", true);
        TryCount += 1;
        break;
    case 78:
        WaitingFor = "waiting for SWR=";
        Await("SWR=", 77, 79, true);
        if (UploadState == 77 && TryCount >= 20) UploadState = 99;
        break;
    case 79:
        SendCommandStep("0000", "FCS?", true);
        Link.WaitLimit = 200;
        break;
    case 80:
        WaitingFor = "waiting for FCS";
        Await("FCS", 99, 81, true);
        break;
    case 81: {
        const size_t p = LastReply.find("Main");
        // Without "Main" the characters at positions 5 to 8 are taken, as the unit's reply
        // format would place them.
        const size_t from = (p == std::string::npos ? 0 : p + 1) + 4;
        UnitChecksum = from < LastReply.size() ? LastReply.substr(from, 4) : std::string();
        SetText(Label12, "Unit memory checksum: " + UnitChecksum);
        SetText(Label8, "Upload file checksum: " + FileChecksum);
        Colour(Label8, "black");
        if (UnitChecksum == FileChecksum && FileChecksum.size() == 4) {
            Label15->setText("Checksums match, Upload successful");
            Colour(Label15, "green");
        } else {
            Label15->setText("Checksums different, Upload failed");
            Colour(Label15, "red");
        }
        UploadState = 82;
        break;
    }

    // ---- ends ----
    case 82:
        BtnBackToStart->show();
        BtnRepeatUpload->show();
        Label10->setText("Program complete. <Go back to Start> or <Close>");
        Colour(Label10, "blue", 12);
        SetText(Label4, "Upload complete. Time taken: " + ElapsedText(StartTime, EndTime));
        Colour(Label4, "black");
        UploadState = 0;
        break;
    case 83:
        Label15->setText("Software upload halted");
        Label10->setText("Click on <Close> button");
        Colour(Label10, "blue", 12);
        if (MainUpload) {
            BtnRepeatUpload->show();
        } else {
            // The texts above sit on the hidden Software Upload screen, and a repeat from there
            // would lead to that hidden ready screen: the factory screen says what happened and
            // offers the way back only.
            HistAdd("Upload failed");
        }
        BtnBackToStart->show();
        UploadState = 0;
        break;
    case 99:
        BtnBackToStart->show();
        if (MainUpload) BtnRepeatUpload->show();
        HistAdd("Timed out " + WaitingFor);
        SetText(Label2, "Timed out " + WaitingFor);
        Label10->clear();
        UploadState = 0;
        break;
    default:
        break;  // idle, or a number without a handler
    }
}

void TForm1::SendNextBlock() {
    std::string block;
    if (!ZupFile.ReadBlock(block))
        throw EInOutError("Upload block file ended before block " + std::to_string(BlocksSent + 1) + ": \"" +
                              ZupFile.FileName() + "\"",
                          ZupFile.FileName());
    BlockBuffer = std::move(block);
    SendBlock();
    BlocksSent += 1;
    Gauge->setValue(BlocksSent);
    const std::string text =
        "Sending block " + std::to_string(BlocksSent) + " of " + std::to_string(BlockCount) + "...";
    HistReplaceLast(text);
    Label2->setText(QString::fromStdString(text));
}

void TForm1::SendBlock() {
    Link.RxBuffer.clear();
    if (BlockBuffer.empty()) return;  // nothing of this upload has been read yet
    if (Capture.CaptureOn())
        for (const auto& [tag, text] : DumpBlockLines(BlockBuffer)) WriteCapture(text, tag);
    for (unsigned char b : BlockBuffer) Link.SendByte(b);
}

void TForm1::CheckInputFile() {
    Gauge->hide();
    const TInputNames names = SplitInputFileName(InputFileName);
    InputExt = names.InputExt;
    BaseName = names.BaseName;
    switch (InputKind(InputExt)) {
    case TInputKind::IntelHex:
        RunBox->hide();
        HelpContext = 4;
        ZupFileName = names.ZupFileName;
        BinFileName = names.BinFileName;
        Label12->setText("Preparing input file, please wait ...");
        Colour(Label12, "blue");
        SetText(Label8, "Emptying binary file:  " + BinFileName + " ...");
        UploadState = 104;
        break;
    case TInputKind::Binary:
        RunBox->hide();
        HelpContext = 4;
        BinFileName = InputFileName;
        ZupFileName = names.ZupFileName;
        Label12->setText("Preparing input file, please wait ...");
        Colour(Label12, "blue");
        Label8->setText("Converting .BIN file to .ZUP format ...");
        BinImage.OpenExisting(BinFileName, MainImageChunks);
        UploadState = 123;
        break;
    case TInputKind::Upload:
        ZupFileName = InputFileName;
        PrepareUpload();
        break;
    case TInputKind::Unknown:
        UploadState = 102;
        break;
    }
}

void TForm1::PrepareUpload() {
    CheckUploadFile(ZupFileName);
    Gauge->setValue(0);
    Gauge->hide();
    Label10->hide();
    Label2->clear();
    Label12->clear();
    ZupFile.Open(ZupFileName);
    BtnRepeatUpload->hide();
    RunBox->show();
    BtnStartRun->show();
    HelpContext = 4;
    BlockCount = ZupFile.BlockCount();
    Serial1.SetBaudrate(UploadBaud);
    UploadState = 42;
}
