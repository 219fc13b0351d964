// Form1, the main window: its three screens, the run values, and the sequencer that carries both
// jobs (Software Upload and Factory Bootstrap Upload) one step per tick.
#pragma once

#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/UnitLink.h"
#include "firmware/BinaryImage.h"
#include "firmware/BootLine.h"
#include "firmware/IntelHex.h"
#include "firmware/UploadFile.h"
#include "records/Capture.h"
#include "serial/Serial4.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class TForm2;
class THelpWindow;

struct TForm1Options {
    int TickMs = 50;              // the program always uses 50 ms; tests may go faster
    std::string ProgramFolder;    // "" = the folder of the running executable; ends with '/'
    bool Maximise = true;
    bool ModalBoxes = true;       // false: message boxes are recorded in Messages instead of shown
};

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(const TForm1Options& options = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // The file chooser; created after this window and living as long.
    TForm2* Form2 = nullptr;

    // ---- run values ----
    int32_t UploadState = 0;
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
    std::string BlockBuffer;       // the block last read, kept so it can be sent again
    std::string ProgramFolder;
    std::string InputFileName, InputExt, BaseName, BinFileName, ZupFileName;
    std::string SavedPort;
    uint8_t ExpectedAck = 0;
    TBootLineState Boot;           // HexToSend, LineCount, HexLineIndex, LastLineSent

    TCaptureFile Capture;
    TSerial Serial1;
    TUnitLink Link;
    TBinaryImage BinImage;
    TZupFile ZupFile;

    // Every message box text shown (also when ModalBoxes is off), for the operator's record and tests.
    std::vector<QString> Messages;

    // ---- handlers ----
    void FormActivate();
    void Timer1Timer();
    void Btn2UploadClick();
    void BtnBootClick();
    void BtnChooseFileClick();
    void BtnStartRunClick();
    void BtnGoOnClick();
    void BtnRepeatUploadClick();
    void BtnBackToStartClick();
    void BtnCableClick();
    void BtnCaptureFileClick();
    void BtnHelpClick();
    void BtnCloseClick();

    // ---- operations the sequencer uses ----
    void CheckInputFile();
    void PrepareUpload();
    void ReadCommsSettings();
    void SaveCommsSettings();
    void SendCommandStep(const std::string& address, const std::string& command, bool addressed);
    void SendNextBlock();
    void SendBlock();
    void CloseCapture();
    void WriteCapture(const std::string& text, const std::string& tag);
    uint8_t PrepareBootLine();

    // Lines of the factory history memo, as shown.
    QStringList HistoryLines() const;
    // One message box (recorded in Messages).
    void ShowMessage(const QString& text);
    bool FormActivated() const { return activated_; }
    int TickMs() const { return options_.TickMs; }

    // Controls, named as the operator's screens name them.
    QLabel *Image1, *Label5, *Label6, *Label13, *Label3, *Label7, *Label9, *Label22, *Label21;
    QComboBox *CommPortBox, *BaudRateBox;
    QGroupBox *OpeningBox, *MainBox, *FactoryBox, *GroupBox1, *GroupBox3, *RunBox, *GroupBox2;
    QPushButton *Btn2Upload, *BtnBoot, *BtnCable, *BtnCaptureFile, *BtnHelp, *BtnClose, *BtnRepeatUpload,
        *BtnBackToStart, *BtnChooseFile, *BtnStartRun, *BtnGoOn;
    QPlainTextEdit *MemoCable, *FUpHist, *MemoBoot, *MemoFlshCode;
    QLabel *Label11, *Title1, *Title2;
    QLabel *Label12, *Label8, *Label15, *Label4, *Label2, *Label10;
    QLabel *Label19, *Label18, *Label1, *LblConvJP3, *Label16;
    QProgressBar* Gauge;
    QTimer* Timer1;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void RunStep();
    void SoftwareUploadStep();
    void FactoryStep();
    // Runs a handler or a step; a file or conversion failure is shown once and the sequencer
    // goes back to idle.
    void Guarded(const std::function<void()>& work);
    void ReportRunError(const std::exception& error);
    void HistAdd(const std::string& line);
    void HistReplaceLast(const std::string& line);
    void SetText(QLabel* label, const std::string& text);
    void ShowCaptureState();
    void CaptureFailed(const std::exception& error);
    void Await(const std::string& key, int failState, int nextState, bool lineFeed = false);
    bool PortTextValid(int& port) const;
    void PurgeInput();

    TForm1Options options_;
    THelpWindow* help_ = nullptr;
    bool activated_ = false;
    bool inTick_ = false;
    bool portTextValid_ = true;
};

// Text for the operator from bytes the unit sent: printable bytes as they are, line ends dropped,
// other control bytes as <XX>.
QString OperatorText(const std::string& bytes);
// Bytes as Latin-1 text for a widget.
QString Latin1(const std::string& bytes);
