#include "gui/StationWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <thread>

#include "base/Paths.h"
#include "base/ShownText.h"
#include "gui/ProgramName.h"
#include "gui/Uflash8.h"
#include "history/RecorderSetup.h"
#include "history/ResultRecord.h"
#include "host/Folders.h"
#include "host/PortSource.h"
#include "host/Ports.h"

namespace {

constexpr int kColumns = 4;          // 8 tiles in two rows at 1024 x 768
constexpr int kListedUnits = 500;    // the last units kept in the list
constexpr int kTotalsEveryTicks = 20;
constexpr qint64 kRateAfterMs = 60000;
const char* const kStationTitle = "Norvane Flash Station";

QString Local(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }
// A reason is UTF-8 text; bytes of the unit or of a file name that are not are shown as <XX>.
QString Reason(const std::string& text) { return QString::fromUtf8(ShownText(text).c_str()); }

QPushButton* NewButton(QWidget* parent, const char* name, const QString& text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    return b;
}

QLabel* NewLabel(QWidget* parent, const char* name) {
    auto* l = new QLabel(parent);
    l->setObjectName(name);
    l->setWordWrap(true);
    return l;
}

// The adapters present change while the window is open: the list is made afresh when it opens.
class TPortPicker : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> BeforePopup;
    void showPopup() override {
        if (BeforePopup) BeforePopup();
        QComboBox::showPopup();
    }
};

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

TStationWindow::TStationWindow(const TStationSetup& setup, TStopSignals& stops, QWidget* parent)
    : QMainWindow(parent), setup_(setup), stops_(stops),
      programFolder_(setup.ProgramFolder.empty() ? ResolveProgramFolder(ExecutableFolder()) : setup.ProgramFolder),
      ports_(std::make_unique<TCachedPortSource>(std::make_unique<TSystemPortSource>())) {
    setObjectName("StationWindow");
    setWindowTitle(kStationTitle);
    BuildControls();
    timer_ = new QTimer(this);
    timer_->setObjectName("StationTimer");
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(setup_.TickMs);
    connect(timer_, &QTimer::timeout, this, [this] { Tick(); });
    timer_->start();
    ShowTotals();
    ApplySetup();
}

TStationWindow::~TStationWindow() {
    // A record server's check still under way is waited for: its answer is then dropped.
    if (checker_.joinable()) checker_.join();
    timer_->stop();
    StopAll();
    // The tiles' drivers go before the recorder and the preparation they may still tell.
    for (TStationTile* tile : tiles_) delete tile;
    tiles_.clear();
    preparation_.reset();
}

TStationTile* TStationWindow::NewTile(const TStationPort& port, const TPortListing& listing) {
    auto* tile = new TStationTile(port, PortIdentity(port, listing), Locked(), tileBoard_);
    tile->OnUnitEnded = [this](TStationTile& t, const TUnitEndedEvent& e) { UnitEnded(t, e); };
    tile->OnStoreRecord = [this](TStationTile& t, const TJobResult& r, TJobDriver::TStored stored) {
        return Record(t, r, std::move(stored));
    };
    tile->ClaimUnitId = [this](const std::string& id, std::string& refusal) { return ClaimUnitId(id, refusal); };
    tile->OnUnitIdTaken = [this](TStationTile& t) { MoveToNextAwaitingId(t); };
    tile->OnRemove = [this](TStationTile& t) { RemoveTile(t); };
    tile->OnPortEnded = [this](TStationTile&) { PortEnded(); };
    tiles_.push_back(tile);
    return tile;
}

// ---- the controls ----

void TStationWindow::BuildControls() {
    auto* central = new QWidget(this);
    central->setObjectName("Central");
    setCentralWidget(central);
    auto* top = new QVBoxLayout(central);
    top->setContentsMargins(8, 6, 8, 6);
    top->setSpacing(4);
    top->addWidget(BuildHeader());
    top->addWidget(BuildButtons());
    area_ = new QScrollArea(central);
    area_->setObjectName("TileArea");
    area_->setWidgetResizable(true);
    area_->setFrameShape(QFrame::NoFrame);
    tileBoard_ = new QWidget(area_);
    tileBoard_->setObjectName("TileBoard");
    grid_ = new QGridLayout(tileBoard_);
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setSpacing(6);
    area_->setWidget(tileBoard_);
    top->addWidget(area_, 1);
    units_ = new QTreeWidget(central);
    units_->setObjectName("UnitList");
    units_->setAccessibleName("Last units");
    units_->setRootIsDecorated(false);
    units_->setHeaderLabels({"Time", "Port", "Unit id", "Result", "Reason"});
    units_->header()->setStretchLastSection(true);
    units_->setFixedHeight(120);
    top->addWidget(units_);
}

QWidget* TStationWindow::BuildHeader() {
    auto* header = new QWidget(this);
    auto* rows = new QVBoxLayout(header);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(2);
    firmware_ = NewLabel(header, "FirmwareLabel");
    QFont bold = firmware_->font();
    bold.setBold(true);
    firmware_->setFont(bold);
    totalsLabel_ = NewLabel(header, "TotalsLabel");
    recordLabel_ = NewLabel(header, "RecordLabel");
    recordLabel_->setStyleSheet("color: #8a5a00");
    for (QLabel* l : {firmware_, totalsLabel_, recordLabel_}) rows->addWidget(l);
    return header;
}

QWidget* TStationWindow::BuildButtons() {
    auto* bar = new QWidget(this);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    start_ = NewButton(bar, "BtnStart", "&Start");
    stop_ = NewButton(bar, "BtnStop", "S&top");
    chooseFile_ = NewButton(bar, "BtnChooseFile", "Choose &File...");
    baudBox_ = new QComboBox(bar);
    baudBox_->setObjectName("BaudBox");
    baudBox_->setAccessibleName("Baud rate");
    baudBox_->addItems({"38400", "57600"});
    baudBox_->setCurrentText(QString::number(setup_.Baud));
    auto* picker = new TPortPicker(bar);
    picker->BeforePopup = [this] { FillPortPicker(); };
    portPicker_ = picker;
    portPicker_->setObjectName("PortPicker");
    portPicker_->setAccessibleName("Port to add");
    portPicker_->setMinimumContentsLength(24);
    addPort_ = NewButton(bar, "BtnAddPort", "&Add Port");
    openRecipe_ = NewButton(bar, "BtnOpenRecipe", "Open &Recipe...");
    saveRecipe_ = NewButton(bar, "BtnSaveRecipe", "Sa&ve Recipe...");
    for (QWidget* w : std::initializer_list<QWidget*>{start_, stop_, chooseFile_, baudBox_, openRecipe_, saveRecipe_})
        row->addWidget(w);
    row->addStretch(1);
    row->addWidget(portPicker_);
    row->addWidget(addPort_);
    connect(start_, &QPushButton::clicked, this, [this] { StartClick(); });
    connect(stop_, &QPushButton::clicked, this, [this] { StopClick(); });
    connect(chooseFile_, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, "Firmware file", QString(),
                                                          "Firmware (*.h86 *.mcs *.bin *.zup *.H86 *.MCS *.BIN *.ZUP)");
        if (!file.isEmpty()) ChooseFirmware(QFile::encodeName(file).toStdString());
    });
    connect(openRecipe_, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, "Recipe", QString(), "Recipes (*.json)");
        if (!file.isEmpty()) OpenRecipe(QFile::encodeName(file).toStdString());
    });
    connect(saveRecipe_, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getSaveFileName(this, "Save recipe", QString(), "Recipes (*.json)");
        if (!file.isEmpty()) SaveRecipe(QFile::encodeName(file).toStdString());
    });
    connect(baudBox_, &QComboBox::currentTextChanged, this, [this](const QString& text) {
        setup_.Baud = text.toInt();
        ShowHeader();
    });
    connect(addPort_, &QPushButton::clicked, this, [this] {
        if (portPicker_->currentIndex() < 0) return;
        const QStringList data = portPicker_->currentData().toStringList();
        AddPort({data.value(0).toStdString(), data.value(1).toInt(), QFile::encodeName(data.value(2)).toStdString()});
    });
    return bar;
}

void TStationWindow::Relayout() {
    for (TStationTile* tile : tiles_) grid_->removeWidget(tile);
    for (size_t i = 0; i < tiles_.size(); ++i)
        grid_->addWidget(tiles_[i], static_cast<int>(i) / kColumns, static_cast<int>(i) % kColumns, Qt::AlignTop);
    for (int c = 0; c < kColumns; ++c) grid_->setColumnStretch(c, 1);
    grid_->setRowStretch(grid_->rowCount(), 1);
    // Tab goes from tile to tile in the order they are shown.
    QWidget* last = addPort_;
    for (TStationTile* tile : tiles_)
        for (QWidget* w : tile->findChildren<QWidget*>())
            if (w->focusPolicy() & Qt::TabFocus) {
                setTabOrder(last, w);
                last = w;
            }
}

// The serial ports present that are not tiles yet: the COM n that open something, then the
// devices, as `zupflshc ports` lists them.
void TStationWindow::FillPortPicker() {
    portPicker_->clear();
    const TPortListing listing = ListPorts(programFolder_);
    auto taken = [&](int com, const std::string& device) {
        return std::any_of(tiles_.begin(), tiles_.end(), [&](const TStationTile* t) {
            return com ? t->Port().Device.empty() && t->Port().Port == com : t->Port().Device == device;
        });
    };
    for (const TComPort& com : listing.Com) {
        if (!com.Exists || taken(com.Number, {})) continue;
        const QString name = QString("COM %1").arg(com.Number);
        portPicker_->addItem(name + " (" + Local(com.Target) + ")", QStringList{name, QString::number(com.Number), ""});
    }
    for (const TSerialDevice& d : listing.Devices) {
        if (d.ComNumber || taken(0, d.Path)) continue;
        const QString by = d.ById.empty() ? QString() : " (" + Local(BaseName(d.ById)) + ")";
        portPicker_->addItem(Local(d.Path) + by, QStringList{Local(d.Path), "0", Local(d.Path)});
    }
    addPort_->setEnabled(portPicker_->count() > 0 && !Running());
}

void TStationWindow::AddPort(const TStationPort& port) {
    if (Locked() || Running()) return;
    NewTile(port, ListPorts(programFolder_));
    Relayout();
    FillPortPicker();
}

void TStationWindow::RemoveTile(TStationTile& tile) {
    if (Locked() || tile.Running()) return;
    tiles_.erase(std::find(tiles_.begin(), tiles_.end(), &tile));
    // Its button's click is still on the stack.
    tile.hide();
    tile.deleteLater();
    Relayout();
    FillPortPicker();
}

// ---- Start and Stop ----

void TStationWindow::ChooseFirmware(const std::string& path) {
    if (Locked() || Running()) return;
    setup_.Firmware = AbsolutePath(path);
    input_ = {};
    Prepare(false);
}

void TStationWindow::StartClick() {
    if (Running() || closing_) return;
    if (!Locked() && setup_.Policy && setup_.Policy->RequireSignedRecipes)
        return ShowMessage("No unit was started: " + Local(setup_.Policy->SignedOnly()) + ": open a signed recipe.");
    if (setup_.Firmware.empty()) return ShowMessage("Choose the firmware file first.");
    if (tiles_.empty()) return ShowMessage("Add a port first: the adapters present are in the list beside Add Port.");
    if (setup_.KeepRecords && !recorder_ && !setup_.RecordDb.empty() && !locationChecked_) return CheckLocation();
    if (setup_.KeepRecords && !recorder_) {
        std::string error;
        TRecordContext context = StationContext(QStringLiteral(ZUP_VERSION));
        if (Locked()) {
            context.Recipe = Local(setup_.Recipe->Name);
            context.RecipeSha256 = QString::fromStdString(setup_.Recipe->ContentSha256);
            if (setup_.Signature.Valid()) context.RecipeKeyId = QString::fromStdString(setup_.Signature.KeyId);
        }
        if (!MakeJobRecorder(setup_.RecordDb, programFolder_, context, recorder_, error, locationChecked_))
            return ShowMessage("No unit was started: " + Local(error));
    }
    if (const std::string problem = RecipeProblem(); !problem.empty())
        return ShowMessage("No unit was started: " + Local(problem));
    runId_ = NewStationRunId();
    totals_ = {};
    recordsLost_ = recordsElsewhere_ = 0;
    SetLabelText(recordLabel_, {});
    // A run's ids are its own; those scanned for units still to come stay theirs.
    unitIds_.Clear();
    retriedIds_.clear();
    for (TStationTile* tile : tiles_)
        for (const std::string& id : tile->GivenUnitIds()) unitIds_.Claim(id);
    sinceStart_.start();
    ShowTotals();
    // The file is read again now: what the ports load is what it holds at Start.
    Prepare(true);
}

// A named record server may take its connection's time to answer: it is asked from a thread of its
// own, and Start goes on when it has answered.
void TStationWindow::CheckLocation() {
    if (checker_.joinable()) return;
    startWithdrawn_ = false;
    start_->setEnabled(false);
    stop_->setEnabled(true);
    checker_ = std::thread([this, location = setup_.RecordDb] {
        const std::string problem = RecordLocationProblem(location);
        QMetaObject::invokeMethod(this, [this, problem] { LocationChecked(problem); }, Qt::QueuedConnection);
    });
}

void TStationWindow::LocationChecked(const std::string& problem) {
    checker_.join();
    ShowRunning();
    if (startWithdrawn_) return;
    if (!problem.empty()) return ShowMessage("No unit was started: " + Local(problem));
    locationChecked_ = true;
    StartClick();
}

void TStationWindow::Prepare(bool thenStart) {
    if (preparing_) {
        startAfterPreparing_ = startAfterPreparing_ || thenStart;
        return;
    }
    preparing_ = true;
    startAfterPreparing_ = thenStart;
    ShowRunning();
    ShowHeader();
    // In memory: every port then sends that upload, and nothing is written beside the firmware.
    preparation_ = std::make_unique<TPreparation>(
        setup_.Firmware, setup_.TickMs, programFolder_, stops_, this,
        [this](const TJobResult& result, const TSharedUpload& upload) { Prepared(result, upload); });
    preparation_->Begin();
}

void TStationWindow::Prepared(const TJobResult& result, const TSharedUpload& upload) {
    preparation_.reset();
    preparing_ = false;
    const bool start = startAfterPreparing_;
    startAfterPreparing_ = false;
    if (result.Job != TJob::Prepare || result.Kind != TResultKind::Prepared) {
        input_ = {};
        ShowHeader();
        ShowRunning();
        const QString reason = Reason(result.Reason);
        return ShowMessage((start ? "No unit was started: " : "") + QString("the firmware file cannot be prepared: ") + reason);
    }
    input_ = StationInputOf(result, upload);
    ShowHeader();
    // A recipe pins the firmware: what was prepared must be the bytes it names, whatever changed
    // since the file was checked.
    if (start && Locked() && input_.Sha256 != setup_.Recipe->Sha256) {
        ShowRunning();
        return ShowMessage("No unit was started: the firmware changed while it was prepared: sha256 " +
                           QString::fromStdString(input_.Sha256) + " (prepared), " +
                           QString::fromStdString(setup_.Recipe->Sha256) + " (recipe)");
    }
    if (start) StartPorts();
    ShowRunning();
}

TJobPlan TStationWindow::PlanFor(const TStationTile& tile, const std::string& tag) const {
    const TStationPort& port = tile.Port();
    TJobPlan plan;
    plan.Job = TDriverJob::Upload;
    plan.Name = port.Name;
    plan.Port = port.Port ? port.Port : 1;
    plan.Device = port.Device.empty() || IsUsbDeviceSpec(port.Device) ? port.Device : AbsolutePath(port.Device);
    plan.Capture = setup_.Capture;
    plan.CapturePath = PortCapturePath(setup_.CapturePath, programFolder_, tag);
    plan.FilePath = input_.File;
    plan.Prepared = input_.Upload;
    plan.Baud = setup_.Baud;
    // Every port goes on to its next unit by itself until the operator stops the line.
    plan.Loop = true;
    plan.Count = setup_.Count;
    plan.TickMs = setup_.TickMs;
    plan.ScratchTag = tag;
    plan.Verify = setup_.Verify;
    plan.ExpectVersion = setup_.ExpectVersion;
    plan.RequireUnitId = setup_.RequireUnitId;
    return plan;
}

void TStationWindow::StartPorts() {
    running_ = true;
    std::vector<std::string> tags;
    for (size_t i = 0; i < tiles_.size(); ++i) {
        // Two devices of one name in different folders must not share a capture file.
        std::string tag = PortTag(tiles_[i]->Port().Port, tiles_[i]->Port().Device);
        if (std::find(tags.begin(), tags.end(), tag) != tags.end()) tag += "-" + std::to_string(i + 1);
        tags.push_back(tag);
        tiles_[i]->Begin(PlanFor(*tiles_[i], tag), programFolder_, stops_);
    }
    PortEnded();
}

void TStationWindow::StopClick() {
    // Start withdrawn before any port opened: no unit is woken.
    startWithdrawn_ = checker_.joinable();
    if (preparing_) startAfterPreparing_ = false;
    if (!running_) return ShowRunning();
    // Stopping while units are written leaves them half-written: only on purpose.
    if (AnyWriting() && !AskToStopWhileWriting()) return;
    StopAll();
}

void TStationWindow::StopAll() {
    startAfterPreparing_ = false;
    for (TStationTile* tile : tiles_) tile->Stop();
    PortEnded();
}

bool TStationWindow::AnyWriting() const {
    return std::any_of(tiles_.begin(), tiles_.end(), [](const TStationTile* t) { return t->Writing(); });
}

bool TStationWindow::AskToStopWhileWriting() {
    const auto writing = std::count_if(tiles_.begin(), tiles_.end(), [](const TStationTile* t) { return t->Writing(); });
    const QString text = QString("%1 being written. If you stop now, %2 left half-written and %3 a new upload "
                                 "before %4 can be used.\n\nStop every port?")
                             .arg(writing == 1 ? "A unit is" : QString("%1 units are").arg(writing),
                                  writing == 1 ? "it is" : "they are", writing == 1 ? "needs" : "need",
                                  writing == 1 ? "it" : "they");
    Questions.push_back(text);
    if (!setup_.ModalBoxes) return StopWhileWritingAnswer;
    QMessageBox box(QMessageBox::Question, kStationTitle, text, QMessageBox::NoButton, this);
    QPushButton* yes = box.addButton("&Yes, stop every port", QMessageBox::YesRole);
    QPushButton* no = box.addButton("&No, go on loading", QMessageBox::NoRole);
    box.setDefaultButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

void TStationWindow::PortEnded() {
    running_ = std::any_of(tiles_.begin(), tiles_.end(), [](const TStationTile* t) { return t->Running(); });
    ShowRunning();
}

void TStationWindow::ShowRunning() {
    const bool busy = Running();
    start_->setEnabled(!busy);
    // Stop is there from the moment Start is pressed: it withdraws a Start still being prepared.
    stop_->setEnabled(running_ || startAfterPreparing_ || checker_.joinable());
    for (QWidget* w : std::initializer_list<QWidget*>{chooseFile_, baudBox_, portPicker_, openRecipe_, saveRecipe_})
        w->setEnabled(!busy);
    addPort_->setEnabled(!busy && portPicker_->count() > 0);
}

void TStationWindow::closeEvent(QCloseEvent* event) {
    if (running_ && AnyWriting() && !AskToStopWhileWriting()) {
        event->ignore();
        return;
    }
    // The records are finished with the event loop running: nothing may start meanwhile.
    closing_ = true;
    StopAll();
    FinishRecords();
    event->accept();
}

// What is queued is written before the window goes, within a bounded time; the window goes on
// drawing meanwhile.
void TStationWindow::FinishRecords() {
    if (!recorder_) return;
    recorder_->Finish(TJobRecorder::kFinishLimit, [] {
        QCoreApplication::processEvents();
        return false;
    });
    recorder_.reset();
}

void TStationWindow::ShowMessage(const QString& text) {
    Messages.push_back(text);
    if (setup_.ModalBoxes) QMessageBox::critical(this, kStationTitle, text);
}

// ---- what a unit's end means for the line ----

void TStationWindow::UnitEnded(TStationTile& tile, const TUnitEndedEvent& ended) {
    TJobResult result = ended.Result;
    NameStationInput(result, input_);
    const std::string& id = result.UnitId;
    const bool loaded = result.Succeeded();
    // A unit the operator stopped neither loaded nor failed: it is counted apart and out of the yield.
    const bool stopped = result.Kind == TResultKind::Interrupted;
    (loaded ? totals_.Loaded : stopped ? totals_.Stopped : totals_.Failed) += 1;
    // First pass: a unit given its id again after a failure is a second try; a unit without an id
    // cannot be told apart and counts as a first try.
    if (!stopped && (id.empty() || retriedIds_.count(id) == 0)) {
        totals_.FirstTries += 1;
        if (loaded) totals_.FirstPassLoaded += 1;
    }
    if (!loaded && !id.empty()) unitIds_.Failed(id);
    ListUnit(tile, result);
    ShowTotals();
}

// An id names one unit in a run; a unit that failed may come back under its id to be loaded again.
bool TStationWindow::ClaimUnitId(const std::string& id, std::string& refusal) {
    switch (unitIds_.Claim(id)) {
    case TUnitIdRegister::TClaim::First: return true;
    case TUnitIdRegister::TClaim::Again: retriedIds_.insert(id); return true;
    case TUnitIdRegister::TClaim::Refused: break;
    }
    refusal = id + " has been given already in this run";
    return false;
}

// Written by the recorder's own thread: no tick waits on the store, and the port holds its next
// unit until the record is on the station's disk.
std::string TStationWindow::Record(TStationTile& tile, const TJobResult& unit, TJobDriver::TStored stored) {
    if (!recorder_) {
        stored({});
        return {};
    }
    TJobResult result = unit;
    NameStationInput(result, input_);
    recorder_->Context().RunId = QString::fromStdString(runId_);
    const QString id = recorder_->Keep(result, ports_.get(), [this, t = QPointer<TStationTile>(&tile)](const TRecordOutcome& o) {
        ++recordsTried_;
        if (o.Message.empty()) return;
        // A record kept nowhere is told by its tile's result, which holds the port; one kept
        // elsewhere than meant is its tile's notice.
        if (o.Fate == TRecordFate::Lost) ++recordsLost_;
        else ++recordsElsewhere_;
        if (t && o.Fate != TRecordFate::Lost) t->SayNotice(o.Message);
        QStringList counts;
        if (recordsLost_ > 0)
            counts << QString("%1 %2 kept nowhere").arg(recordsLost_).arg(recordsLost_ == 1 ? "record was" : "records were");
        if (recordsElsewhere_ > 0)
            counts << QString("%1 %2 not kept where meant")
                          .arg(recordsElsewhere_)
                          .arg(recordsElsewhere_ == 1 ? "record was" : "records were");
        SetLabelText(recordLabel_, counts.join("; ") + ": " + Local(o.Message));
    }, [stored = std::move(stored)](const TRecordOutcome& o) { stored(RecordNotKept(o)); });
    return id.toStdString();
}

void TStationWindow::ListUnit(const TStationTile& tile, const TJobResult& result) {
    const QString word = result.Succeeded()                        ? (result.Kind == TResultKind::Verified ? "verified" : "loaded")
                         : result.Kind == TResultKind::Interrupted ? "stopped"
                                                                  : "failed";
    auto* row = new QTreeWidgetItem({QDateTime::currentDateTime().toString("HH:mm:ss"), Local(tile.Port().Name),
                                     QString::fromStdString(result.UnitId), word,
                                     result.Succeeded() ? QString() : Reason(result.Reason)});
    units_->insertTopLevelItem(0, row);
    while (units_->topLevelItemCount() > kListedUnits) delete units_->takeTopLevelItem(kListedUnits);
}

void TStationWindow::MoveToNextAwaitingId(const TStationTile& from) {
    const auto at = std::find(tiles_.begin(), tiles_.end(), &from);
    if (at == tiles_.end()) return;
    const size_t first = static_cast<size_t>(at - tiles_.begin());
    for (size_t i = 1; i < tiles_.size(); ++i) {
        TStationTile* next = tiles_[(first + i) % tiles_.size()];
        if (next->AwaitsUnitId()) return next->FocusUnitId();
    }
}

// ---- the window's tick: the tiles' gauges and the line's totals ----

void TStationWindow::Tick() {
    for (TStationTile* tile : tiles_) tile->Refresh();
    if (++ticks_ % kTotalsEveryTicks == 0 && running_) ShowTotals();
}

void TStationWindow::ShowHeader() {
    QString text;
    if (setup_.Firmware.empty()) {
        text = "No firmware file chosen";
    } else {
        text = Local(BaseName(setup_.Firmware));
        if (preparing_) text += "  \u00b7  being prepared";
        else if (!input_.Sha256.empty())
            text += QString("  \u00b7  SHA-256 %1  \u00b7  %2 blocks  \u00b7  checksum %3")
                        .arg(QString::fromStdString(input_.Sha256.substr(0, 12)))
                        .arg(input_.Blocks)
                        .arg(QString::fromStdString(input_.Checksum));
    }
    text += QString("  \u00b7  %1 baud").arg(setup_.Baud);
    if (Locked()) text += "  \u00b7  recipe " + Local(setup_.Recipe->Name) + ", " + Local(setup_.Signature.Text());
    else if (setup_.Policy && setup_.Policy->RequireSignedRecipes) text += "  \u00b7  signed recipes only";
    SetLabelText(firmware_, text);
}

void TStationWindow::ShowTotals() {
    const int units = totals_.Loaded + totals_.Failed;
    QString text = QString("Loaded %1  \u00b7  failed %2").arg(totals_.Loaded).arg(totals_.Failed);
    if (totals_.Stopped > 0) text += QString("  \u00b7  stopped %1").arg(totals_.Stopped);
    if (totals_.FirstTries > 0)
        text += QString("  \u00b7  first-pass yield %1%").arg(100.0 * totals_.FirstPassLoaded / totals_.FirstTries, 0, 'f', 1);
    // Units an hour since Start, once a minute has passed: a few units in the first seconds would
    // promise thousands.
    if (units > 0 && sinceStart_.isValid() && sinceStart_.elapsed() >= kRateAfterMs)
        text += QString("  \u00b7  %1 units per hour").arg(units * 3600000.0 / sinceStart_.elapsed(), 0, 'f', 0);
    SetLabelText(totalsLabel_, text);
}

// ---- recipes ----

// Before any port opens: the firmware must be the one the recipe pins.
std::string TStationWindow::RecipeProblem() const {
    if (!Locked()) return {};
    const std::string mismatch = FirmwareMismatch(*setup_.Recipe);
    return mismatch.empty() ? std::string() : "recipe '" + ShownText(setup_.Recipe->Name) + "': " + mismatch;
}

bool TStationWindow::OpenRecipe(const std::string& path) {
    if (Running()) return false;
    TStationSetup setup = setup_;
    std::string error;
    if (!StationSetupOfRecipe(path, setup, error)) {
        ShowMessage(Local(error));
        return false;
    }
    // Another recipe may keep its records elsewhere and names itself in them.
    if (recorder_) FinishRecords();
    if (setup.RecordDb != setup_.RecordDb) locationChecked_ = false;
    setup_ = setup;
    ApplySetup();
    return true;
}

void TStationWindow::ApplySetup() {
    for (TStationTile* tile : tiles_) delete tile;
    tiles_.clear();
    const TPortListing listing = ListPorts(programFolder_);
    for (const TStationPort& port : setup_.Ports) NewTile(port, listing);
    for (QWidget* w : std::initializer_list<QWidget*>{chooseFile_, baudBox_, portPicker_, addPort_})
        w->setVisible(!Locked());
    baudBox_->setCurrentText(QString::number(setup_.Baud));
    Relayout();
    FillPortPicker();
    input_ = {};
    ShowHeader();
    ShowRunning();
    if (!setup_.Firmware.empty()) Prepare(false);
}

bool TStationWindow::SaveRecipe(const std::string& path) {
    if (input_.Sha256.empty() || tiles_.empty()) {
        ShowMessage("Choose the firmware file and add the ports first: the recipe pins both.");
        return false;
    }
    TRecipe recipe;
    recipe.Job = TDriverJob::Upload;
    // Beside the recipe (or below its folder) the name stays relative, so the folder can move whole.
    const std::string absolute = AbsolutePath(path);
    const std::string folder = absolute.substr(0, absolute.find_last_of('/') + 1);
    recipe.Firmware = input_.File.compare(0, folder.size(), folder) == 0 ? input_.File.substr(folder.size()) : input_.File;
    recipe.Sha256 = input_.Sha256;
    recipe.Size = input_.Size;
    recipe.Blocks = input_.Blocks;
    recipe.Checksum = input_.Checksum;
    recipe.Baud = setup_.Baud;
    for (const TStationTile* tile : tiles_) recipe.Ports.push_back(PortName(tile->Port().Port, tile->Port().Device));
    recipe.Loop = true;
    recipe.Count = setup_.Count;
    recipe.RecordDb = setup_.RecordDb;
    recipe.Verify = setup_.Verify;
    recipe.ExpectVersion = setup_.ExpectVersion;
    recipe.RequireUnitId = setup_.RequireUnitId;
    std::string error;
    if (!WriteRecipe(absolute, recipe, error)) {
        ShowMessage("The recipe was not saved: " + Local(error));
        return false;
    }
    return true;
}
