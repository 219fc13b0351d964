#include "gui/Uflash8.h"

#include "engine/Progress.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
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
#include <QStyle>
#include <QAbstractTextDocumentLayout>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolTip>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <iterator>
#include <utility>

#include "firmware/UploadFile.h"
#include "history/RecorderSetup.h"
#include "history/ResultRecord.h"
#include "host/Folders.h"
#include "host/PortDiagnosis.h"
#include "host/PortSource.h"
#include "gui/HelpWindow.h"
#include "gui/ProgramName.h"
#include "host/Ports.h"
#include "firmware/BuiltinImages.h"
#include "base/Paths.h"
#include "gui/Chfile1.h"
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

// The one way a label gets its colour and, when given, its point size.
void StyleLabel(QLabel* label, const char* colour, int points = 0) {
    if (colour) label->setStyleSheet(QString("color: %1").arg(colour));
    if (points) {
        QFont f = label->font();
        f.setPointSize(points);
        label->setFont(f);
    }
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

// The cable memo: as tall as its lines in its own font, whichever font that turns out to be ("Arial"
// is whatever the machine maps it to), so that none of them is ever scrolled out of view.
class TCableMemo : public QPlainTextEdit {
public:
    using QPlainTextEdit::QPlainTextEdit;

    void FitLines() {
        // The lines as the document lays them out, not as the font's whole-pixel metrics guess them:
        // with some fonts each line is a fraction of a pixel taller than lineSpacing() says.
        QAbstractTextDocumentLayout* layout = document()->documentLayout();
        qreal lines = 0;
        for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) lines += layout->blockBoundingRect(b).height();
        const qreal margins = 2 * document()->documentMargin();
        // The edit keeps one pixel below the last line free before it offers to scroll.
        setFixedHeight(static_cast<int>(std::ceil(lines + margins)) + 1 + 2 * frameWidth());
        // As wide as its longest line and a scroll bar's width more, with no horizontal scroll bar to
        // take a line's height away.
        qreal widest = 0;
        for (QTextBlock b = document()->begin(); b.isValid(); b = b.next())
            for (int i = 0; i < b.layout()->lineCount(); ++i) widest = std::max(widest, b.layout()->lineAt(i).naturalTextWidth());
        setFixedWidth(static_cast<int>(std::ceil(widest + margins)) + 2 * frameWidth() + cursorWidth() +
                      style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this));
    }

protected:
    void changeEvent(QEvent* event) override {
        QPlainTextEdit::changeEvent(event);
        if (event->type() == QEvent::FontChange) FitLines();
    }
};

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

// What the system says of an ended job's port, looked up off the loop.
struct TPortFacts {
    std::optional<TPortInfo> Adapter;     // the device's entry in the system's listing, for the record
    TPortDiagnosis Diagnosis;             // for a port that let the job down
    std::optional<TPortListing> Listing;  // what COM n leads to and which devices are present, likewise
};

namespace {

// The adapter found for a job's device, as the record asks for it: nothing is listed again.
class TFoundAdapter : public TPortSource {
public:
    explicit TFoundAdapter(const std::optional<TPortInfo>& found) : found_(found) {}
    std::vector<TPortInfo> List() override { return found_ ? std::vector<TPortInfo>{*found_} : std::vector<TPortInfo>{}; }
    bool Find(const std::string&, TPortInfo& info) override {
        if (found_) info = *found_;
        return found_.has_value();
    }

private:
    std::optional<TPortInfo> found_;
};

// The COM n the port box names, 0 when it names none.
int ComOf(const QComboBox* box) {
    bool ok = false;
    const int port = box->currentText().trimmed().toInt(&ok);
    return ok && port >= 1 && port <= 9 ? port : 0;
}

// The port box's tooltip from `listing`: what its COM n leads to, and the devices present.
void TipPortBox(QComboBox* box, const TPortListing& listing) {
    if (const int port = ComOf(box))
        box->setToolTip(Qt::convertFromPlainText(QString::fromLocal8Bit(PortTooltipText(listing, port).c_str()),
                                                 Qt::WhiteSpacePre));
}

}  // namespace

QString Latin1(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

TForm1::TForm1(const TForm1Options& options, QWidget* parent) : QMainWindow(parent), options_(options) {
    setObjectName("Form1");
    setWindowTitle("FIRMWARE UPLOAD UTILITY FOR NORVANE MXR-2");
    setFont(QFont("Arial"));
    TJobPlan plan;
    plan.OperatorPaced = true;
    plan.TickMs = options.TickMs;
    driver_ = std::make_unique<TJobDriver>(
        plan, *this, options.ProgramFolder.empty() ? ResolveProgramFolder(ExecutableFolder()) : options.ProgramFolder);
    if (options.KeepRecords) {
        // Every job leaves its row in the program folder's history, as on the command line. Without
        // one (a folder that cannot hold it) the jobs still run.
        std::string error;
        MakeJobRecorder("", driver_->ProgramFolder(), StationContext(QStringLiteral(ZUP_VERSION)), recorder_, error);
    }

    BuildControls();

    // The driver's tick is the window's Timer1, found by that name like every other component.
    QTimer& tick = driver_->TickTimer();
    tick.setObjectName("Timer1");
    tick.setParent(this);

    help_ = new THelpWindow(this);
}

TForm1::~TForm1() {
    // Jobs whose port facts had not come yet still leave their records; the window is gone, so
    // nothing is drawn and nobody hears of them.
    if (recorder_) {
        TSystemPortSource ports;
        for (const TEndedJob& job : endedJobs_)
            if (job.Record) recorder_->Keep(job.Result, &ports);
    }
    endedJobs_.clear();
    // The driver's timer is among this window's children: it goes with the driver, before them.
    driver_.reset();
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
    BuildStartScreen(area);
    BuildUploadScreen(area);
    BuildFactoryScreen(area);
    BuildFooter(central);
    ConnectHandlers();
}


void TForm1::BuildStartScreen(QWidget* area) {
    auto* grid = static_cast<QGridLayout*>(area->layout());
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
    // The cable memo opens beside the choices rather than below them: below, the window would be
    // taller than a 1024x768 screen.
    auto* lower = new QHBoxLayout;
    auto* choices = new QVBoxLayout;
    lower->addLayout(choices, 1);
    ob->addLayout(lower);
    Label7 = NewLabel(OpeningBox, "Label7", "Select type of Upload");
    choices->addWidget(Label7);

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
    choices->addWidget(GroupBox1);

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
    choices->addWidget(GroupBox3);

    BtnCable = NewButton(OpeningBox, "BtnCable", "Cable Detail");
    choices->addWidget(BtnCable, 0, Qt::AlignLeft);
    auto* memo = new TCableMemo(OpeningBox);
    MemoCable = memo;
    MemoCable->setObjectName("MemoCable");
    MemoCable->setReadOnly(true);
    MemoCable->setLineWrapMode(QPlainTextEdit::NoWrap);  // a pin table, line for line
    MemoCable->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QStringList cable;
    for (const char* l : CableLines) cable << l;
    MemoCable->setPlainText(cable.join('\n'));
    MemoCable->setAccessibleName("Cable Detail");
    memo->FitLines();
    MemoCable->hide();
    lower->addWidget(MemoCable, 0, Qt::AlignTop);
    ob->addStretch();
    grid->addWidget(OpeningBox, 0, 0);
}

void TForm1::BuildUploadScreen(QWidget* area) {
    auto* grid = static_cast<QGridLayout*>(area->layout());
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
}

void TForm1::BuildFactoryScreen(QWidget* area) {
    auto* grid = static_cast<QGridLayout*>(area->layout());
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
}

void TForm1::BuildFooter(QWidget* central) {
    auto* top = static_cast<QVBoxLayout*>(central->layout());
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
}


void TForm1::ConnectHandlers() {
    const std::pair<QPushButton*, void (TForm1::*)()> guarded[] = {
        {Btn2Upload, &TForm1::Btn2UploadClick},         {BtnBoot, &TForm1::BtnBootClick},
        {BtnChooseFile, &TForm1::BtnChooseFileClick},   {BtnStartRun, &TForm1::BtnStartRunClick},
        {BtnGoOn, &TForm1::BtnGoOnClick},               {BtnRepeatUpload, &TForm1::BtnRepeatUploadClick},
        {BtnBackToStart, &TForm1::BtnBackToStartClick}, {BtnCaptureFile, &TForm1::BtnCaptureFileClick},
    };
    for (auto [button, handler] : guarded)
        connect(button, &QPushButton::clicked, this, [this, handler = handler] { Guarded(handler); });
    connect(BtnCable, &QPushButton::clicked, this, [this] { BtnCableClick(); });
    // The listing reads the device database and the kernel's lock table: only when the choice
    // changes, never on a tick, and off the loop.
    connect(CommPortBox, &QComboBox::currentTextChanged, this, [this] { ShowPortTooltip(); });
    connect(BtnHelp, &QPushButton::clicked, this, [this] { BtnHelpClick(); });
    connect(BtnClose, &QPushButton::clicked, this, [this] { BtnCloseClick(); });
}

void TForm1::Guarded(void (TForm1::*handler)()) {
    driver_->Operate([&] { (this->*handler)(); });
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!activated_) {
        activated_ = true;
        QTimer::singleShot(0, this, [this] { Guarded(&TForm1::FormActivate); });
    }
}

void TForm1::closeEvent(QCloseEvent* event) {
    // Closing while the unit is being written leaves it without working firmware: only on purpose.
    if (Engine().Writing() && !AskToCloseWhileWriting()) {
        event->ignore();
        return;
    }
    Stop();
    help_->close();
    event->accept();
}

bool TForm1::AskToCloseWhileWriting() {
    const QString text =
        "The unit is being written. If you close now, it is left half-written and needs a new upload "
        "before it can be used.\n\nClose anyway?";
    Questions.push_back(text);
    if (!options_.ModalBoxes) return CloseWhileWritingAnswer;
    return QMessageBox::question(this, ProgramTitle, text,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void TForm1::Stop() {
    // Settings restored and the lock released now, not whenever the window is destroyed.
    driver_->Close();
}

void TForm1::FormActivate() {
    if (options_.Maximise) setWindowState(windowState() | Qt::WindowMaximized);
    for (QLabel* l : {Label2, Label4, Label8, Label15}) l->clear();
    for (QLabel* l : {Label2, Label3, Label11, Label12}) StyleLabel(l, "blue");
    StyleLabel(Label13, "blue", 11);
    StyleLabel(Label7, "red", 12);
    StyleLabel(Label22, "red", 11);
    StyleLabel(Label6, nullptr, 13);
    MainBox->hide();
    RunBox->hide();
    ReadCommsSettings();
    ShowPortTooltip();
    driver_->Begin();
}

void TForm1::ShowMessage(const QString& text) {
    Messages.push_back(text);
    if (options_.ModalBoxes) QMessageBox::critical(this, ProgramTitle, text);
}

void TForm1::MessageAfterStep(const QString& text) {
    Messages.push_back(text);
    if (!options_.ModalBoxes) return;
    // A box runs the event loop: opened inside a step, it would hold the step (and the unit) up
    // for as long as the operator takes to read it.
    pendingBoxes_.push_back(text);
    if (pendingBoxes_.size() == 1) QTimer::singleShot(0, this, [this] { ShowPendingBoxes(); });
}

void TForm1::ShowPendingBoxes() {
    // In order, one at a time: a message told while a box is open waits for it to be closed.
    while (!pendingBoxes_.empty()) {
        QMessageBox::critical(this, ProgramTitle, pendingBoxes_.front());
        pendingBoxes_.erase(pendingBoxes_.begin());
    }
}

QStringList TForm1::HistoryLines() const {
    QString t = FUpHist->toPlainText();
    return t.isEmpty() ? QStringList{} : t.split('\n');
}

// ---- the engine's view ----

QLabel* TForm1::LabelOf(TLine line) const {
    switch (line) {
    case TLine::PortStatus: return Label12;
    case TLine::FileStatus: return Label8;
    case TLine::Headline: return Label15;
    case TLine::Instruction: return Label4;
    case TLine::Activity: return Label2;
    case TLine::Footer: return Label10;
    case TLine::JumperNote: return Label1;
    case TLine::FactoryPrompt: return Label16;
    case TLine::FactoryEstimate: return Label19;
    case TLine::ForceRs232: return LblConvJP3;
    }
    return Label12;
}

QWidget* TForm1::WidgetOf(TOffer what) const {
    switch (what) {
    case TOffer::ChooseFile: return BtnChooseFile;
    case TOffer::StartRun: return BtnStartRun;
    case TOffer::GoOn: return BtnGoOn;
    case TOffer::RepeatUpload: return BtnRepeatUpload;
    case TOffer::BackToStart: return BtnBackToStart;
    case TOffer::RunPanel: return RunBox;
    }
    return RunBox;
}

void TForm1::Event(const TJobEvent& event) {
    std::visit(TOverload{
                   [&](const TTextEvent& e) { SetLine(e.Line, e.Text); },
                   [&](const TStyleEvent& e) { StyleLine(e.Line, e.Colour, e.Points); },
                   [&](const TLineShownEvent& e) { LabelOf(e.Line)->setVisible(e.Shown); },
                   [&](const TOfferEvent& e) { WidgetOf(e.What)->setVisible(e.Offered); },
                   [&](const TGaugeShownEvent& e) { Gauge->setVisible(e.Shown); },
                   [&](const THistoryEvent& e) { History(e); },
                   [&](const TMessageEvent& e) { MessageAfterStep(QString::fromLocal8Bit(e.Text.c_str())); },
                   [&](const TStageEvent& e) {
                       // A new port: what the last one said about itself is stale, and so is what
                       // is still being found out about it.
                       if (e.Stage != TStage::OpeningPort) return;
                       ++openings_;
                       LabelOf(TLine::PortStatus)->setToolTip(QString());
                   },
                   [&](const TProgressEvent& e) { Progress(e.Sent, e.Total); },
                   [&](const TCaptureEvent& e) { CaptureChanged(e.On); },
                   [&](const TResultEvent& e) { Finished(e.Result); },
                   [](const auto&) {},
               },
               event);
}

void TForm1::SetLine(TLine line, const std::string& text) { LabelOf(line)->setText(Latin1(text)); }

void TForm1::StyleLine(TLine line, TColour colour, int points) {
    static const char* const names[] = {"black", "blue", "red", "green"};
    StyleLabel(LabelOf(line), names[static_cast<int>(colour)], points);
}

// A port that let the job down: the system's reason, what was found and what to do, what COM n
// leads to and which serial devices are present; all from the result and the facts found for it.
void TForm1::ShowPortFault(const TEndedJob& job, const TPortFacts& facts) {
    const TJobResult& result = job.Result;
    const TPortDiagnosis& d = facts.Diagnosis;
    std::string text = result.SystemReason;
    for (const std::string& l : {d.Reason, d.Remedy})
        if (!l.empty()) text += (text.empty() ? "" : "\n") + l;
    // A port that did not open: what was found and what to do go into the history list too, where
    // they stay in sight on the factory screen, under "Com Port failed to open". A port lost in a
    // transfer keeps the transfer's own last line.
    if (result.Kind == TResultKind::PortFailed) {
        for (const std::string& l : {d.Reason, d.Remedy})
            if (!l.empty()) FUpHist->appendPlainText(QString::fromLocal8Bit(l.c_str()));
        FUpHist->verticalScrollBar()->setValue(FUpHist->verticalScrollBar()->maximum());
    }
    if (facts.Listing) text += "\n\n" + PortTooltipText(*facts.Listing, job.Com);
    LabelOf(TLine::PortStatus)
        ->setToolTip(Qt::convertFromPlainText(QString::fromLocal8Bit(text.c_str()), Qt::WhiteSpacePre));
}

// The port box's tooltip from the last listing, at once, and a new listing asked for: the devices
// and their holders are walked off the loop, and the tooltip follows when they have been.
void TForm1::ShowPortTooltip() {
    if (!ComOf(CommPortBox)) return;
    if (listing_) TipPortBox(CommPortBox, *listing_);
    RelistPorts();
}

void TForm1::RelistPorts() {
    if (lister_.Busy()) {
        listAgain_ = true;
        return;
    }
    lister_.Run([folder = driver_->ProgramFolder()] { return ListPorts(folder); },
                [this](const TPortListing& listing) { PortsListed(listing); });
}

void TForm1::PortsListed(const TPortListing& listing) {
    listing_ = listing;
    TipPortBox(CommPortBox, listing);
    if (std::exchange(listAgain_, false)) RelistPorts();
}

void TForm1::Progress(int sent, int total) {
    // The texts first: whoever watches the gauge sees them saying the same block.
    if (sent > 0) {
        const std::string text = BlockProgressText(sent, total);
        History({THistoryEvent::TOp::ReplaceLast, text});
        SetLine(TLine::Activity, text);
    }
    Gauge->setMaximum(total);
    Gauge->setValue(sent);
}

void TForm1::Finished(const TJobResult& result) {
    lastResult_ = result;
    const bool record = recorder_ && LeavesRecord(result);
    if (!record && result.PortFault == TPortFault::None) return;
    endedJobs_.push_back({result, openings_, Serial1().Port(), record});
    LookUpPortFacts();
}

void TForm1::LookUpPortFacts() {
    if (factFinder_.Busy() || endedJobs_.empty()) return;
    factFinder_.Run([job = endedJobs_.front(), folder = driver_->ProgramFolder()] {
        TSystemPortSource ports;
        TPortFacts facts;
        if (TPortInfo found; job.Record && ports.Find(job.Result.Device, found)) facts.Adapter = found;
        if (job.Result.PortFault == TPortFault::None) return facts;
        facts.Diagnosis = DiagnoseResult(job.Result, folder, "/run/lock/", &ports);
        if (job.Com >= 1 && job.Com <= 9) facts.Listing = ListPorts(folder);
        return facts;
    }, [this](const TPortFacts& facts) { PortFactsFound(facts); });
}

void TForm1::PortFactsFound(const TPortFacts& facts) {
    const TEndedJob job = std::move(endedJobs_.front());
    endedJobs_.pop_front();
    if (job.Record) {
        TFoundAdapter adapter(facts.Adapter);
        KeepRecord(job.Result, adapter);
    }
    // Shown while its port is the latest: a port opened since has its own say.
    if (job.Result.PortFault != TPortFault::None && job.Opening == openings_) ShowPortFault(job, facts);
    LookUpPortFacts();
}

void TForm1::KeepRecord(const TJobResult& result, TPortSource& ports) {
    // Written by the recorder's own thread: the window's ticks never wait on the store.
    recorder_->Keep(result, &ports, [this](const TRecordOutcome& o) {
        ++recordsTried_;
        // Said where a capture file's failure is said: the record went elsewhere, the job is done.
        if (!o.Message.empty()) MessageAfterStep(QString::fromLocal8Bit(o.Message.c_str()));
    });
}

void TForm1::History(const THistoryEvent& event) {
    switch (event.Op) {
    case THistoryEvent::TOp::Reset: FUpHist->setPlainText(Latin1(event.Text)); return;
    case THistoryEvent::TOp::Add: FUpHist->appendPlainText(Latin1(event.Text)); break;
    case THistoryEvent::TOp::ReplaceLast: {
        QTextCursor c(FUpHist->document()->lastBlock());
        c.movePosition(QTextCursor::StartOfBlock);
        c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        c.insertText(Latin1(event.Text));
        break;
    }
    }
    FUpHist->verticalScrollBar()->setValue(FUpHist->verticalScrollBar()->maximum());
}

void TForm1::CaptureChanged(bool on) {
    if (on) {
        BtnCaptureFile->setText("&Disable Capture File");
        Label11->setText("Enabled");
        Label11->show();
    } else {
        BtnCaptureFile->setText("&Enable Capture File");
        Label11->setText("Disabled");
    }
}

// ---- button handlers: the screen, then the driver ----

void TForm1::Btn2UploadClick() {
    if (!options_.Refusal.empty()) return ShowMessage(QString::fromLocal8Bit(options_.Refusal.c_str()));
    if (!driver_->OpenUpload(CommPortBox->currentText().toStdString(), BaudRateBox->currentText().toStdString()))
        return;
    MainBox->show();
    MainBox->setTitle("Main Software Upload");
    OpeningBox->hide();
    FactoryBox->hide();
    if (Form2)
        Form2->SetFilter(QString::fromLatin1(InputFilterText()));
}

void TForm1::BtnBootClick() {
    if (!options_.Refusal.empty()) return ShowMessage(QString::fromLocal8Bit(options_.Refusal.c_str()));
    FactoryBox->show();
    OpeningBox->hide();
    MainBox->hide();
    driver_->OpenFactory(CommPortBox->currentText().toStdString());
}

void TForm1::BtnChooseFileClick() {
    if (!Form2 || Form2->exec() != QDialog::Accepted) return;
    driver_->ChooseFile(Form2->SelectedFile);
}

void TForm1::BtnStartRunClick() { driver_->StartUpload(); }

void TForm1::BtnGoOnClick() { driver_->GoOn(); }

void TForm1::BtnRepeatUploadClick() { driver_->RepeatUpload(); }

void TForm1::BtnBackToStartClick() {
    // Going back while the unit is being written leaves it half-written, as closing would: only
    // on purpose, and then the job ends as interrupted.
    if (Engine().Writing() && !AskToCloseWhileWriting()) return;
    driver_->BackToStart();
    FactoryBox->hide();
    MainBox->hide();
    OpeningBox->show();
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

void TForm1::BtnCaptureFileClick() { driver_->ToggleCapture(); }

void TForm1::BtnHelpClick() {
    const std::string file = HelpFilePath(driver_->ProgramFolder());
    if (!help_->ShowTopic(QString::fromLocal8Bit(file.c_str()), Engine().HelpContext()))
        ShowMessage(QString("Cannot open help file \"%1\"").arg(QString::fromLocal8Bit(file.c_str())));
}

void TForm1::BtnCloseClick() { close(); }

// ---- the remembered port ----

void TForm1::ReadCommsSettings() {
    const std::string path = driver_->ProgramFolder() + "commsUP.txt";
    std::optional<std::string> port;
    try {
        port = ReadCommsPortText(path);
    } catch (const std::exception& e) {
        // The start-up goes on; the port selector starts at "1".
        CommPortBox->setCurrentIndex(0);
        BaudRateBox->setCurrentIndex(0);
        driver_->SetSavedPort(CommPortBox->currentText().toStdString());
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
    driver_->SetSavedPort(CommPortBox->currentText().toStdString());
}

// ---- wiring ----

TMainWindow::~TMainWindow() {
    if (Form1) Control<QTimer>(*Form1, "Timer1")->stop();
    Form2.reset();
    Form1.reset();
}

std::unique_ptr<TMainWindow> BuildMainWindow(const TForm1Options& options, const std::string& homeFolder) {
    auto w = std::make_unique<TMainWindow>();
    w->Form1 = std::make_unique<TForm1>(options);
    w->Form2 = std::make_unique<TForm2>(homeFolder, w->Form1.get());
    TForm1* form1 = w->Form1.get();
    form1->Form2 = w->Form2.get();
    w->Form2->OnIoError = [form1](const std::string& text) { form1->ShowMessage(QString::fromLocal8Bit(text.c_str())); };
    return w;
}
