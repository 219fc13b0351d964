// The Factory Bootstrap Upload: the C161's bootstrap loader at 19200 baud, then the FlashCode
// image through the block dialogue of the Software Upload.
#include <QLabel>
#include <QPushButton>
#include <QComboBox>

#include <cstdio>

#include "app/Progress.h"
#include "app/Uflash8.h"
#include "firmware/BuiltinImages.h"
#include "base/RunError.h"

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

bool HasByte(const std::string& text, unsigned char b) { return text.find(static_cast<char>(b)) != std::string::npos; }

void Style(QLabel* label, const char* colour, int points) {
    label->setStyleSheet(QString("color: %1").arg(colour));
    QFont f = label->font();
    f.setPointSize(points);
    label->setFont(f);
}

}  // namespace

uint8_t TForm1::PrepareBootLine() {
    std::string taken;
    const uint8_t ack = ::PrepareBootLine(MemoBootLines(), Boot, &taken);
    HistReplaceLast("Sending line " + std::to_string(Boot.LineCount) + "...");
    if (!taken.empty() && Capture.CaptureOn()) WriteCapture(taken, "[mem]");
    return ack;
}

void TForm1::FactoryStep() {
    std::string& rx = Link.RxBuffer;
    switch (UploadState) {
    case 9:
        HistAdd("Com Port failed to open");
        UploadState = 0;
        break;
    case 541:
        SaveCommsSettings();
        BtnGoOn->show();
        Label1->setText("With power off, put a jumper on the Bootstrap Enable header (JP1)"
                        " and a jumper on the Bootblock Unprotect header (JP2)");
        Style(Label1, "red", 11);
        LblConvJP3->hide();
        Label16->setText("Turn the Unit power on, then click on <Proceed>");
        Style(Label16, "blue", 11);
        Serial1.SetBaudrate(19200);
        Label19->setText("Factory Upload will take about 19 seconds");
        Label19->setStyleSheet("color: blue");
        HistAdd("Port is open on Com " + std::to_string(Serial1.Port()) + " at " + std::to_string(Serial1.Baudrate()) +
                " baud");
        UploadState = 0;
        break;

    // ---- zero byte and identification ----
    case 544:
        Serial1.WriteChar('\0');
        if (Capture.CaptureOn()) WriteCapture("char 0", "[out]");
        TryCount += 1;
        UploadState = 545;
        break;
    case 545:
        if (!rx.empty()) {
            if (HasByte(rx, 0xB5) || HasByte(rx, 0xD5)) {
                HistAdd("Got correct response from C161 chip");
                UploadState = 546;
            } else {
                HistAdd("Got C161 response: " + rx);
                UploadState = 0;
            }
        } else {
            TryCount += 1;
            if (TryCount > 45) {
                HistAdd("Timed out waiting for response to initial character");
                Label16->hide();
                UploadState = 0;
            } else if (TryCount % 5 == 0) {
                UploadState = 544;
            }
        }
        break;

    // ---- the two loaders ----
    case 546:
        HistAdd("Sending Loader 1...");
        Boot.HexToSend = Loader1;
        Link.SendHexBytes(Boot.HexToSend);
        TryCount = 0;
        UploadState = 548;
        break;
    case 548:
        if (!rx.empty()) {
            if (HasByte(rx, 0x22)) {
                HistAdd("Loader 1 complete");
                UploadState = 550;
            } else {
                HistAdd("Problem - bad checksum response to Loader1");
                UploadState = 0;
            }
        } else if (++TryCount > 10) {
            HistAdd("Timed out waiting for response to Loader 1");
            UploadState = 0;
        }
        break;
    case 550:
        HistAdd("Sending Loader 2...");
        for (const char* part : Loader2) {
            Boot.HexToSend = part;
            Link.SendHexBytes(Boot.HexToSend);
        }
        TryCount = 0;
        UploadState = 552;
        break;
    case 552:
        if (!rx.empty()) {
            if (HasByte(rx, 'U')) {
                HistAdd("Loader 2 complete");
                HistAdd("Sending Bootstrap...");
                HistAdd("Sending Lines...");
                Boot = TBootLineState{};
                ExpectedAck = PrepareBootLine();
                Link.SendHexBytes(Boot.HexToSend);
                TryCount = 0;
                BadAckCount = 0;
                UploadState = 568;
            } else {
                HistAdd("Problem - bad checksum response to Loader 2");
                UploadState = 0;
            }
        } else if (++TryCount > 100) {
            HistAdd("Timed out waiting for response to Loader 2");
            UploadState = 0;
        }
        break;

    // ---- bootstrap records, one per acknowledgement ----
    case 568:
        if (Boot.LastLineSent) {
            UploadState = 571;  // the end record is not acknowledged
        } else if (!rx.empty()) {
            if (HasByte(rx, ExpectedAck)) {
                ExpectedAck = PrepareBootLine();
                Link.SendHexBytes(Boot.HexToSend);
                TryCount = 0;
                BadAckCount = 0;
            } else if (++BadAckCount < 5) {
                Link.SendHexBytes(Boot.HexToSend);
            } else {
                HistAdd("Problem - got bad checksum 5 times, bad cable?");
                UploadState = 0;
            }
        } else if (++TryCount > 100) {
            HistAdd("Timed out waiting for response to Bootstrap line");
            UploadState = 0;
        }
        break;

    // ---- 38400 baud and the FlashCode file ----
    case 571:
        Serial1.SetBaudrate(38400);
        HistAdd("Bootstrap Upload complete");
        HistAdd("Changing baudrate to 38400...");
        UploadState = 572;
        break;
    case 572:
        PurgeInput();
        UploadState = 573;
        break;
    case 573:
        BaseName = "Reserved";
        ZupFileName = ProgramFolder + "Reserved" + ".ZUP";
        BinFileName = ProgramFolder + "Reserved" + ".BIN";
        HistAdd("Emptying binary file...");
        BinImage.EmptyBinaryFile(BinFileName, FactoryImageChunks);
        UploadState = 574;
        break;
    case 574:
        PurgeInput();
        UploadState = 575;
        break;
    case 575: {
        HistAdd("Binary file emptied");
        HistAdd("Processing .h86 to .bin format...");
        const auto& lines = MemoFlshCodeLines();
        size_t next = 0;
        THexReader reader;
        reader.HexToBinary(
            [&](std::string& line) {
                if (next >= lines.size()) return false;
                line = lines[next++];
                if (Capture.CaptureOn()) WriteCapture(line, "[fsh]");
                return true;
            },
            BinImage, "MemoFlshCode");
        BinImage.Flush();
        HistAdd(".bin complete");
        UploadState = 576;
        break;
    }
    case 576: {
        HistAdd("Processing .bin to .zup format...");
        ZupFile.Close();
        TBuildResult r = BuildUploadFile(BinImage, ZupFileName);
        BlockCount = r.BlockCount;
        LastReply = r.Checksum;
        HistAdd(".zup complete");
        HistAdd("Checksum is " + r.Checksum);
        UploadState = 44;
        break;
    }

    // ---- completion ----
    case 599:
        EndTime = TimeOfDayNow();
        ZupFile.Close();
        HistAdd("FlashCode Upload complete");
        HistAdd(" ");
        HistAdd("Factory Upload completed in " + ElapsedText(StartTime, EndTime));
        Label19->clear();
        Label1->setText("Turn off power to the Unit and remove the Bootstrap jumpers JP1 and JP2");
        Label16->setText("Click on <Go Back to Start> to upload main Application Software");
        Style(Label16, "blue", 10);
        std::remove(ZupFileName.c_str());
        std::remove(BinFileName.c_str());
        BtnBackToStart->show();
        UploadState = 0;
        break;
    default:
        break;
    }
}
