// Form1, the main window: its three screens and their controls, on an operator-paced job driver.
// The handlers set up the screen and pass the operator's buttons on to the driver; the engine's
// events tell it what to show, and a message they carry is shown once the step that told it is over.
#pragma once

#include <QMainWindow>
#include <QString>
#include <deque>
#include <memory>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

#include "driver/JobDriver.h"
#include "driver/DriverEvents.h"
#include "host/OffLoop.h"
#include "host/Ports.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class TForm2;
class THelpWindow;
class TJobRecorder;
struct TPortFacts;

struct TForm1Options {
    int TickMs = 50;              // the program always uses 50 ms; tests may go faster
    std::string ProgramFolder;    // "" = the folder of the running executable; ends with '/'
    bool Maximise = true;
    bool ModalBoxes = true;       // false: message boxes are recorded in Messages instead of shown
    bool KeepRecords = true;      // each job's row in history.sqlite in the program folder
    // Why this station loads no unit from a file chosen here (its policy requires signed recipes,
    // or cannot be used); "" = it does.
    std::string Refusal;
};

class TForm1 : public QMainWindow, public TJobListener {
    Q_OBJECT
public:
    explicit TForm1(const TForm1Options& options = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // The file chooser; created after this window and living as long.
    TForm2* Form2 = nullptr;

    // The job as it stands and its port, read-only: for tests, the benchmarks and the screenshots.
    const TSequencer& Engine() const { return driver_->Engine(); }
    const TSerialPort& Serial1() const { return driver_->Port(); }

    // Every message box text shown (also when ModalBoxes is off), for the operator's record and tests.
    std::vector<QString> Messages;
    // Every question asked before closing while the unit was written, and the answer taken when
    // ModalBoxes is off.
    std::vector<QString> Questions;
    bool CloseWhileWritingAnswer = false;

    // ---- handlers ----
    void FormActivate();
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

    void ReadCommsSettings();
    // Stops what runs (a job being written ends as interrupted), closes capture and the port: for
    // Close, and for a signal that ends the program.
    void Stop();
    // Lines of the factory history memo, as shown.
    QStringList HistoryLines() const;
    // One message box (recorded in Messages), shown at once: never from inside a step.
    void ShowMessage(const QString& text);
    bool FormActivated() const { return activated_; }
    int TickMs() const { return options_.TickMs; }

    // ---- what the engine tells: its texts drawn, its facts acted on ----
    void Event(const TJobEvent& event) override;

    // How the last job ended; empty before the first.
    const std::optional<TJobResult>& LastResult() const { return lastResult_; }
    // How many job records have been written or failed so far.
    int RecordsTried() const { return recordsTried_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
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


    void SetLine(TLine line, const std::string& text);
    void StyleLine(TLine line, TColour colour, int points = 0);
    void Progress(int sent, int total);
    void History(const THistoryEvent& event);
    void CaptureChanged(bool on);
    void Finished(const TJobResult& result);
    // A job that ended, waiting for what the system says of its port: its adapter's names for the
    // record, and for a port that let it down why and what to do. Looked up off the loop, one job
    // at a time in the order they ended, so that no record is dropped or reordered.
    struct TEndedJob {
        TJobResult Result;
        int Opening = 0;     // the port opening it belongs to (openings_ when it ended)
        int Com = 0;         // the COM n its port was
        bool Record = false; // it leaves a record
    };
    void LookUpPortFacts();
    void PortFactsFound(const TPortFacts& facts);
    void ShowPortFault(const TEndedJob& job, const TPortFacts& facts);
    void KeepRecord(const TJobResult& result, TPortSource& ports);

    void BuildControls();
    void BuildStartScreen(QWidget* area);
    void BuildUploadScreen(QWidget* area);
    void BuildFactoryScreen(QWidget* area);
    void BuildFooter(QWidget* central);
    void ConnectHandlers();
    void ShowPortTooltip();
    void RelistPorts();
    void PortsListed(const TPortListing& listing);
    bool AskToCloseWhileWriting();
    QLabel* LabelOf(TLine line) const;
    QWidget* WidgetOf(TOffer what) const;
    void Guarded(void (TForm1::*handler)());
    // A message an engine event carried: recorded now, its box opened after the step.
    void MessageAfterStep(const QString& text);
    void ShowPendingBoxes();

    TForm1Options options_;
    THelpWindow* help_ = nullptr;
    bool activated_ = false;
    // Owns the port and the engine, and ticks them (its timer is this window's Timer1).
    std::unique_ptr<TJobDriver> driver_;
    std::vector<QString> pendingBoxes_;
    std::optional<TJobResult> lastResult_;
    std::unique_ptr<TJobRecorder> recorder_;
    int recordsTried_ = 0;
    // The ports as last listed, for the port box's tooltip until the next listing arrives.
    std::optional<TPortListing> listing_;
    bool listAgain_ = false;
    int openings_ = 0;  // ports opened so far: a port's diagnosis is shown only while it is the latest
    std::deque<TEndedJob> endedJobs_;
    // Last, so that their threads are joined before anything their answers touch goes.
    TOffLoop lister_{this}, factFinder_{this};
};

// A control of a window by its objectName, the name the operator's screens give it; tests, the
// benchmarks and the screenshot tool find controls this way. Throws when there is none.
template <class T>
T* Control(const QObject& window, const char* name) {
    T* control = window.findChild<T*>(QString::fromLatin1(name));
    if (!control) throw std::logic_error(std::string("no control named ") + name);
    return control;
}

// Bytes as Latin-1 text for a widget.
QString Latin1(const std::string& bytes);

// The main window and its file chooser, built and connected the one way the program, the tests,
// the benchmarks and the screenshot tool all use. The chooser starts in `homeFolder` (drive C).
struct TMainWindow {
    std::unique_ptr<TForm1> Form1;
    std::unique_ptr<TForm2> Form2;
    ~TMainWindow();
};
std::unique_ptr<TMainWindow> BuildMainWindow(const TForm1Options& options, const std::string& homeFolder);
