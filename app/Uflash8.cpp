#include "app/Uflash8.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <unistd.h>

#include "app/HelpWindow.h"
#include "app/Progress.h"
#include "firmware/BuiltinImages.h"
#include "base/Paths.h"
#include "base/RunError.h"
#include "records/Chfile1.h"
#include "records/CommsSettings.h"

namespace {

const char* const CableLines[] = {
    "  Serial Cable Detail for connection:",
    "",
    "  DB9  Female at both ends of the cable",
    "",
    "  Pin 2  -------  Pin 2",
    "  Pin 3  -------  Pin 3",
    "  Pin 5  -------  Pin 5",
    "",
    "  NO OTHER PINS SHOULD BE CONNECTED",
    "",
    "  Refer to the MXR-2 Manual",
};

void Style(QLabel* label, const char* colour, int points = 0, bool bold = false) {
    if (colour) label->setStyleSheet(QString("color: %1").arg(colour));
    QFont f = label->font();
    if (points) f.setPointSize(points);
    f.setBold(bold);
    label->setFont(f);
}

// The maker's banner: drawn here rather than shipped as a picture.
QPixmap DrawBanner() {
    QPixmap pm(720, 72);
    pm.fill(Qt::white);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 720, 0);
    g.setColorAt(0, QColor(0, 45, 98));
    g.setColorAt(1, QColor(0, 120, 170));
    p.fillRect(pm.rect(), g);
    // a stylised rack unit: three stacked bars with status lights
    for (int i = 0; i < 3; ++i) {
        QRect bar(18, 12 + i * 17, 64, 12);
        p.setBrush(QColor(220, 230, 240));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(bar, 3, 3);
        p.setBrush(i == 1 ? QColor(255, 170, 0) : QColor(40, 200, 90));
        p.drawEllipse(QPoint(74, 18 + i * 17), 3, 3);
    }
    QFont f("Arial", 26, QFont::Bold);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(100, 0, 400, 72), Qt::AlignVCenter | Qt::AlignLeft, "NORVANE");
    QFont s("Arial", 11);
    s.setItalic(true);
    p.setFont(s);
    p.setPen(QColor(200, 225, 245));
    p.drawText(QRect(300, 0, 400, 72), Qt::AlignVCenter | Qt::AlignRight, "MXR-2 rack unit  \u2022  firmware service");
    return pm;
}

QLabel* NewLabel(QWidget* parent, const char* name, const QString& text = {}) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    return l;
}

QPushButton* NewButton(QWidget* parent, const char* name, const QString& text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    return b;
}

}  // namespace

QString Latin1(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString OperatorText(const std::string& bytes) {
    QString out;
    for (unsigned char c : bytes) {
        if (c == '\r' || c == '\n') continue;
        if (c < 0x20 || c == 0x7F) out += QString("<%1>").arg(c, 2, 16, QChar('0')).toUpper();
        else out += QChar(c);
    }
    return out;
}

TForm1::TForm1(const TForm1Options& options, QWidget* parent)
    : QMainWindow(parent),
      Serial1([this](std::function<void()> f) { QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection); },
              [this](const std::string& text) { ShowMessage(Latin1(text)); }),
      Link(Serial1, &Capture),
      options_(options) {
    setObjectName("Form1");
    setWindowTitle("FIRMWARE UPLOAD UTILITY FOR NORVANE MXR-2");
    QFont f("Arial");
    setFont(f);
    ProgramFolder = options_.ProgramFolder.empty() ? ExecutableFolder() : options_.ProgramFolder;
    if (ProgramFolder.back() != '/') ProgramFolder += '/';

    // The window's serial port: 8 data bits, no parity check, errors as events nobody handles, so
    // port failures show up as waits that run out.
    Serial1.SetDataBits(d8bit);
    Serial1.SetCheckParity(false);
    Serial1.MessageEndChar = 13;
    Serial1.NotifyErrors = neEvent;
    Serial1.SetDeviceFolder(ProgramFolder);
    Serial1.OnRxData = [this](TSerial& s) { Guarded([&] { Link.ReadMessage(s); }); };
    Serial1.OnMessage = [this](TSerial& s, const std::string& m) { Guarded([&] { Link.Serial1Message(s, m); }); };
    Link.OnCaptureError = [this](const std::exception& e) { CaptureFailed(e); };

    BuildControls();

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(options_.TickMs);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);

    help_ = new THelpWindow(this);
}

TForm1::~TForm1() {
    Timer1->stop();
}

void TForm1::BuildControls() {
    auto* central = new QWidget(this);
    central->setObjectName("Central");
    setCentralWidget(central);
    auto* top = new QVBoxLayout(central);

    Image1 = NewLabel(central, "Image1");
    Image1->setPixmap(DrawBanner());
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setAccessibleName("Norvane logo");
    top->addWidget(Image1);

    Label5 = NewLabel(central, "Label5", "Flash Upload");
    QFont big = Label5->font();
    big.setPointSize(20);
    big.setBold(true);
    big.setItalic(true);
    Label5->setFont(big);
    Label5->setAlignment(Qt::AlignCenter);
    top->addWidget(Label5);

    // The three screens share one cell; exactly one is shown at a time.
    auto* area = new QWidget(central);
    auto* grid = new QGridLayout(area);
    grid->setContentsMargins(0, 0, 0, 0);
    top->addWidget(area, 1);

    // ---- start screen ----
    OpeningBox = new QGroupBox(area);
    OpeningBox->setObjectName("OpeningBox");
    auto* ob = new QVBoxLayout(OpeningBox);
    Label6 = NewLabel(OpeningBox, "Label6", "Utility to Upload unit Firmware into Flash memory, via a serial port");
    Label13 = NewLabel(OpeningBox, "Label13", "Attach the Unit Remote Control Port to the Computer Serial Port");
    ob->addWidget(Label6);
    ob->addWidget(Label13);
    auto* portRow = new QHBoxLayout;
    Label3 = NewLabel(OpeningBox, "Label3", "Select Com Port:");
    CommPortBox = new QComboBox(OpeningBox);
    CommPortBox->setObjectName("CommPortBox");
    CommPortBox->setEditable(true);
    for (int i = 1; i <= 9; ++i) CommPortBox->addItem(QString::number(i));
    CommPortBox->setAccessibleName("Select Com Port:");
    Label3->setBuddy(CommPortBox);
    portRow->addWidget(Label3);
    portRow->addWidget(CommPortBox);
    portRow->addStretch();
    ob->addLayout(portRow);
    Label7 = NewLabel(OpeningBox, "Label7", "Select type of Upload");
    ob->addWidget(Label7);

    GroupBox1 = new QGroupBox(OpeningBox);
    GroupBox1->setObjectName("GroupBox1");
    auto* g1 = new QGridLayout(GroupBox1);
    Label9 = NewLabel(GroupBox1, "Label9", "Baud Rate:");
    BaudRateBox = new QComboBox(GroupBox1);
    BaudRateBox->setObjectName("BaudRateBox");
    BaudRateBox->setEditable(true);
    BaudRateBox->addItems({"38400", "57600"});
    BaudRateBox->setAccessibleName("Baud Rate:");
    Label9->setBuddy(BaudRateBox);
    Label22 = NewLabel(GroupBox1, "Label22", "Leave at 38400 baud, unless instructed by Norvane");
    Btn2Upload = NewButton(GroupBox1, "Btn2Upload", "&Software Upload");
    g1->addWidget(Label9, 0, 0);
    g1->addWidget(BaudRateBox, 0, 1);
    g1->addWidget(Label22, 1, 0, 1, 3);
    g1->addWidget(Btn2Upload, 0, 2);
    ob->addWidget(GroupBox1);

    GroupBox3 = new QGroupBox(OpeningBox);
    GroupBox3->setObjectName("GroupBox3");
    auto* g3 = new QVBoxLayout(GroupBox3);
    Label21 = NewLabel(GroupBox3, "Label21",
                       "DO NOT CARRY OUT THIS PROCEDURE UNLESS SPECIFICALLY INSTRUCTED BY NORVANE");
    Label21->setStyleSheet("color: red");
    Label21->setWordWrap(true);
    BtnBoot = NewButton(GroupBox3, "BtnBoot", "Factory Bootstrap Upload");
    g3->addWidget(Label21);
    g3->addWidget(BtnBoot);
    ob->addWidget(GroupBox3);

    BtnCable = NewButton(OpeningBox, "BtnCable", "Cable Detail");
    ob->addWidget(BtnCable, 0, Qt::AlignLeft);
    MemoCable = new QPlainTextEdit(OpeningBox);
    MemoCable->setObjectName("MemoCable");
    MemoCable->setReadOnly(true);
    QStringList cable;
    for (const char* l : CableLines) cable << l;
    MemoCable->setPlainText(cable.join('\n'));
    MemoCable->setAccessibleName("Cable Detail");
    MemoCable->hide();
    ob->addWidget(MemoCable);
    ob->addStretch();
    grid->addWidget(OpeningBox, 0, 0);

    // ---- Software Upload screen ----
    MainBox = new QGroupBox(area);
    MainBox->setObjectName("MainBox");
    auto* mb = new QVBoxLayout(MainBox);
    Label12 = NewLabel(MainBox, "Label12");
    Label8 = NewLabel(MainBox, "Label8");
    BtnChooseFile = NewButton(MainBox, "BtnChooseFile", "Choose File");
    BtnChooseFile->hide();
    mb->addWidget(Label12);
    mb->addWidget(Label8);
    mb->addWidget(BtnChooseFile, 0, Qt::AlignLeft);
    RunBox = new QGroupBox(MainBox);
    RunBox->setObjectName("RunBox");
    auto* rb = new QVBoxLayout(RunBox);
    Label15 = NewLabel(RunBox, "Label15");
    Label4 = NewLabel(RunBox, "Label4");
    Label2 = NewLabel(RunBox, "Label2");
    Gauge = new QProgressBar(RunBox);
    Gauge->setObjectName("Gauge");
    Gauge->setTextVisible(true);
    Gauge->setRange(0, 100);
    Gauge->setValue(0);
    Gauge->setAccessibleName("Upload progress");
    Gauge->hide();
    BtnStartRun = NewButton(RunBox, "BtnStartRun", "Start &Upload");
    Label10 = NewLabel(RunBox, "Label10");
    Label10->hide();
    for (QWidget* w : std::initializer_list<QWidget*>{Label15, Label4, Label2, Gauge}) rb->addWidget(w);
    rb->addWidget(BtnStartRun, 0, Qt::AlignLeft);
    rb->addWidget(Label10);
    mb->addWidget(RunBox);
    mb->addStretch();
    MainBox->hide();
    grid->addWidget(MainBox, 0, 0);

    // ---- factory screen ----
    FactoryBox = new QGroupBox("Factory Bootstrap Upload", area);
    FactoryBox->setObjectName("FactoryBox");
    auto* fb = new QVBoxLayout(FactoryBox);
    Label19 = NewLabel(FactoryBox, "Label19", "Port open");
    Label18 = NewLabel(FactoryBox, "Label18", "Factory Upload History:");
    FUpHist = new QPlainTextEdit(FactoryBox);
    FUpHist->setObjectName("FUpHist");
    FUpHist->setReadOnly(true);
    FUpHist->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Label18->setBuddy(FUpHist);
    FUpHist->setAccessibleName("Factory Upload History:");
    Label1 = NewLabel(FactoryBox, "Label1");
    Label1->setWordWrap(true);
    Label1->setMinimumHeight(2 * Label1->fontMetrics().height());
    LblConvJP3 = NewLabel(FactoryBox, "LblConvJP3", "(If you want to force RS232, attach a jumper to JP3)");
    LblConvJP3->hide();
    Label16 = NewLabel(FactoryBox, "Label16");
    BtnGoOn = NewButton(FactoryBox, "BtnGoOn", "&Proceed");
    BtnGoOn->hide();
    for (QWidget* w : std::initializer_list<QWidget*>{Label19, Label18, FUpHist, Label1, LblConvJP3, Label16})
        fb->addWidget(w);
    fb->addWidget(BtnGoOn, 0, Qt::AlignLeft);
    FactoryBox->hide();
    grid->addWidget(FactoryBox, 0, 0);

    // ---- permanent buttons and footer ----
    auto* buttons = new QHBoxLayout;
    BtnCaptureFile = NewButton(central, "BtnCaptureFile", "&Enable Capture File");
    Label11 = NewLabel(central, "Label11", "Disabled");
    BtnHelp = NewButton(central, "BtnHelp", "&Help");
    BtnClose = NewButton(central, "BtnClose", "&Close");
    BtnRepeatUpload = NewButton(central, "BtnRepeatUpload", "&Repeat Upload");
    BtnBackToStart = NewButton(central, "BtnBackToStart", "&Go Back to Start");
    BtnRepeatUpload->hide();
    BtnBackToStart->hide();
    buttons->addWidget(BtnCaptureFile);
    buttons->addWidget(Label11);
    buttons->addStretch();
    buttons->addWidget(BtnRepeatUpload);
    buttons->addWidget(BtnBackToStart);
    buttons->addWidget(BtnHelp);
    buttons->addWidget(BtnClose);
    top->addLayout(buttons);

    GroupBox2 = new QGroupBox(central);
    GroupBox2->setObjectName("GroupBox2");
    auto* g2 = new QVBoxLayout(GroupBox2);
    Title1 = NewLabel(GroupBox2, "Title1", "Norvane Systems Ltd, Unit 4 Quarry Lane, Halden Industrial Estate, HD7 2QR");
    Title2 = NewLabel(GroupBox2, "Title2", "Tel +44 1632 960 418  Fax +44 1632 960 419   Program ZUP-2  Version 1.0");
    Title1->setAlignment(Qt::AlignCenter);
    Title2->setAlignment(Qt::AlignCenter);
    g2->addWidget(Title1);
    g2->addWidget(Title2);
    top->addWidget(GroupBox2);

    // The built-in images, as the lines the program carries; never shown.
    MemoBoot = new QPlainTextEdit(central);
    MemoBoot->setObjectName("MemoBoot");
    MemoFlshCode = new QPlainTextEdit(central);
    MemoFlshCode->setObjectName("MemoFlshCode");
    for (auto [memo, lines] : {std::pair{MemoBoot, &MemoBootLines()}, std::pair{MemoFlshCode, &MemoFlshCodeLines()}}) {
        QStringList l;
        for (const auto& s : *lines) l << QString::fromStdString(s);
        memo->setPlainText(l.join('\n'));
        memo->hide();
    }

    connect(Btn2Upload, &QPushButton::clicked, this, [this] { Guarded([this] { Btn2UploadClick(); }); });
    connect(BtnBoot, &QPushButton::clicked, this, [this] { Guarded([this] { BtnBootClick(); }); });
    connect(BtnChooseFile, &QPushButton::clicked, this, [this] { Guarded([this] { BtnChooseFileClick(); }); });
    connect(BtnStartRun, &QPushButton::clicked, this, [this] { Guarded([this] { BtnStartRunClick(); }); });
    connect(BtnGoOn, &QPushButton::clicked, this, [this] { Guarded([this] { BtnGoOnClick(); }); });
    connect(BtnRepeatUpload, &QPushButton::clicked, this, [this] { Guarded([this] { BtnRepeatUploadClick(); }); });
    connect(BtnBackToStart, &QPushButton::clicked, this, [this] { Guarded([this] { BtnBackToStartClick(); }); });
    connect(BtnCable, &QPushButton::clicked, this, [this] { BtnCableClick(); });
    connect(BtnCaptureFile, &QPushButton::clicked, this, [this] { Guarded([this] { BtnCaptureFileClick(); }); });
    connect(BtnHelp, &QPushButton::clicked, this, [this] { BtnHelpClick(); });
    connect(BtnClose, &QPushButton::clicked, this, [this] { BtnCloseClick(); });
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!activated_) {
        activated_ = true;
        QTimer::singleShot(0, this, [this] { Guarded([this] { FormActivate(); }); });
    }
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (Capture.CaptureOn()) CloseCapture();
    help_->close();
    event->accept();
}

void TForm1::FormActivate() {
    if (options_.Maximise) setWindowState(windowState() | Qt::WindowMaximized);
    for (QLabel* l : {Label2, Label4, Label8, Label15}) l->clear();
    Style(Label2, "blue");
    Style(Label3, "blue");
    Style(Label11, "blue");
    Style(Label12, "blue");
    Style(Label13, "blue", 11);
    Style(Label7, "red", 12);
    Style(Label22, "red", 11);
    Style(Label6, nullptr, 13);
    HelpContext = 1;
    MainBox->hide();
    RunBox->hide();
    MainUpload = true;
    if (Capture.CaptureOn()) Capture.CloseCapture();
    ReadCommsSettings();
    UploadState = 0;
    Timer1->start();
}

// ---- the general error handler ----

void TForm1::Guarded(const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& e) {
        ReportRunError(e);
    }
}

void TForm1::ReportRunError(const std::exception& error) {
    ShowMessage(QString::fromLocal8Bit(error.what()));
    // A failed step is never repeated: back to idle. The Software Upload offers a new file choice;
    // the factory job says in its history where it stopped.
    UploadState = 0;
    // A file preparation that stopped must not go on saying it is under way.
    if (MainUpload && Label12->text() == "Preparing input file, please wait ...") {
        Label12->setText("Preparing input file failed, choose another file");
        Label8->clear();
    }
    if (MainUpload && MainBox->isVisibleTo(this)) {
        BtnChooseFile->show();
        BtnBackToStart->show();
    } else if (!MainUpload && FactoryBox->isVisibleTo(this)) {
        HistAdd(std::string("Stopped: ") + error.what());
        BtnBackToStart->show();
    }
}

void TForm1::ShowMessage(const QString& text) {
    Messages.push_back(text);
    if (options_.ModalBoxes) QMessageBox::critical(this, QApplication::applicationDisplayName(), text);
}

// ---- small helpers ----

void TForm1::SetText(QLabel* label, const std::string& text) { label->setText(Latin1(text)); }

QStringList TForm1::HistoryLines() const {
    QString t = FUpHist->toPlainText();
    return t.isEmpty() ? QStringList{} : t.split('\n');
}

void TForm1::HistAdd(const std::string& line) {
    FUpHist->appendPlainText(OperatorText(line));
    FUpHist->verticalScrollBar()->setValue(FUpHist->verticalScrollBar()->maximum());
}

void TForm1::HistReplaceLast(const std::string& line) {
    QTextCursor c(FUpHist->document()->lastBlock());
    c.movePosition(QTextCursor::StartOfBlock);
    c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    c.insertText(OperatorText(line));
    FUpHist->verticalScrollBar()->setValue(FUpHist->verticalScrollBar()->maximum());
}

void TForm1::WriteCapture(const std::string& text, const std::string& tag) {
    if (!Capture.CaptureOn()) return;
    try {
        Capture.WriteCapture(text, tag);
    } catch (const std::exception& e) {
        CaptureFailed(e);
    }
}

void TForm1::CaptureFailed(const std::exception& error) {
    // A capture file that cannot be written must not stop the upload: report it once and switch
    // capture off, on screen too.
    Capture.CloseCapture();
    ShowCaptureState();
    ShowMessage(QString::fromLocal8Bit(error.what()));
}

void TForm1::ShowCaptureState() {
    if (Capture.CaptureOn()) {
        BtnCaptureFile->setText("&Disable Capture File");
        Label11->setText("Enabled");
        Label11->show();
    } else {
        BtnCaptureFile->setText("&Enable Capture File");
        Label11->setText("Disabled");
    }
}

// ---- button handlers ----

void TForm1::Btn2UploadClick() {
    MainUpload = true;
    bool ok = false;
    const QString baudText = BaudRateBox->currentText();
    const int baud = baudText.trimmed().toInt(&ok);
    if (!ok) {
        ShowMessage(QString("'%1' is not a valid integer value").arg(baudText));
        return;
    }
    UploadBaud = baud;
    Label12->setText("Opening Com Port...");
    Label8->clear();
    MainBox->show();
    MainBox->setTitle("Main Software Upload");
    OpeningBox->hide();
    FactoryBox->hide();
    RunBox->hide();
    HelpContext = 3;
    if (Form2)
        Form2->SetFilter("Norvane Upload (.zup)|*.zup|Binary (.bin)|*.bin|Intel HEX (.h86)|*.h86|Intel HEX (.mcs)|*.mcs|");
    UploadState = 5;
}

void TForm1::BtnBootClick() {
    MainUpload = false;
    UploadBaud = 19200;
    FUpHist->setPlainText("Opening Com Port " + CommPortBox->currentText() + "...");
    FactoryBox->show();
    OpeningBox->hide();
    MainBox->hide();
    HelpContext = 9;
    Label1->clear();
    Label16->clear();
    UploadState = 5;
}

void TForm1::BtnChooseFileClick() {
    Boot.LastLineSent = false;
    if (!Form2 || Form2->exec() != QDialog::Accepted) return;
    InputFileName = Form2->SelectedFile;
    if (QFileInfo(QString::fromLocal8Bit(InputFileName.c_str())).isFile()) {
        CheckInputFile();
        if (UploadState == 102) return;  // another file may be chosen
    }
    BtnChooseFile->hide();
}

void TForm1::BtnStartRunClick() {
    Label4->clear();
    Label12->clear();
    Label15->clear();
    Label10->setText("DO NOT INTERRUPT UPLOAD");
    Style(Label10, "red", 14);
    BtnStartRun->hide();
    TryCount = 0;
    Label8->setStyleSheet("color: black");
    Label15->setStyleSheet("color: black");
    Label2->setText("POWER UP THE UNIT, NOW");
    Style(Label2, "blue", 13);
    StartTime = TimeOfDayNow();
    UploadState = 44;
}

void TForm1::BtnGoOnClick() {
    StartTime = TimeOfDayNow();
    Label1->clear();
    LblConvJP3->hide();
    Label16->setText("DO NOT INTERRUPT UPLOAD");
    Style(Label16, "red", 12);
    BtnGoOn->hide();
    TryCount = 0;
    HistAdd("Establishing comms with the C161 chip...");
    UploadState = 544;
}

void TForm1::BtnRepeatUploadClick() {
    BtnRepeatUpload->hide();
    BtnBackToStart->hide();
    PrepareUpload();
}

void TForm1::BtnBackToStartClick() {
    HelpContext = 1;
    Serial1.AbortRx();
    Serial1.AbortTx();
    Link.RxBuffer.clear();
    for (QWidget* w : std::initializer_list<QWidget*>{BtnChooseFile, BtnRepeatUpload, BtnBackToStart, FactoryBox, MainBox})
        w->hide();
    OpeningBox->show();
    UploadState = 0;
}

void TForm1::BtnCableClick() {
    if (MemoCable->isVisibleTo(this)) {
        MemoCable->hide();
        BtnCable->setText("Cable Detail");
    } else {
        MemoCable->show();
        BtnCable->setText("Hide Detail");
    }
}

void TForm1::BtnCaptureFileClick() {
    try {
        Capture.ToggleCapture(ProgramFolder + "Capture.txt");
    } catch (const std::exception& e) {
        // Only the record is affected: a run in progress goes on, so this does not go through
        // the general handler, which would put the sequencer back to idle.
        ShowCaptureState();
        ShowMessage(QString::fromLocal8Bit(e.what()));
        return;
    }
    ShowCaptureState();
}

void TForm1::BtnHelpClick() {
    const std::string file = ProgramFolder + "ZURuzada.HLP";
    if (!help_->ShowTopic(QString::fromLocal8Bit(file.c_str()), HelpContext))
        ShowMessage(QString("Cannot open help file \"%1\"").arg(QString::fromLocal8Bit(file.c_str())));
}

void TForm1::BtnCloseClick() {
    if (Capture.CaptureOn()) CloseCapture();
    close();
}

void TForm1::CloseCapture() { Capture.CloseCapture(); }

// ---- settings ----

void TForm1::ReadCommsSettings() {
    const std::string path = ProgramFolder + "commsUP.txt";
    std::optional<std::string> port;
    try {
        port = ReadCommsPortText(path);
    } catch (const std::exception& e) {
        // The start-up goes on; the port selector starts at "1".
        CommPortBox->setCurrentIndex(0);
        BaudRateBox->setCurrentIndex(0);
        SavedPort = CommPortBox->currentText().toStdString();
        ShowMessage(QString::fromLocal8Bit(e.what()));
        return;
    }
    if (port) {
        const int i = CommPortBox->findText(QString::fromLatin1(port->c_str()), Qt::MatchExactly);
        CommPortBox->setCurrentIndex(i);
        if (i < 0) CommPortBox->setEditText(QString());
        BaudRateBox->setCurrentIndex(BaudRateBox->findText("38400"));
    } else {
        CommPortBox->setCurrentIndex(0);
        BaudRateBox->setCurrentIndex(0);
    }
    SavedPort = CommPortBox->currentText().toStdString();
}

void TForm1::SaveCommsSettings() {
    const std::string port = CommPortBox->currentText().toStdString();
    if (port == SavedPort) return;
    try {
        SaveCommsSettingsFile(ProgramFolder + "commsUP.txt", port, BaudRateBox->currentText().toStdString());
    } catch (const std::exception& e) {
        ShowMessage(QString::fromLocal8Bit(e.what()));
    }
}
