#include "gui/StationWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QAbstractItemView>
#include <QDateTime>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
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
#include "gui/FitLabel.h"
#include "gui/HelpWindow.h"
#include "gui/ProgramName.h"
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
constexpr int kStationHelpTopic = 10;
// A recipe's 60 tiles made and laid out at once would hold the window for a quarter of a second
// on a busy machine: the screen's worth is made at once, the rest a few a turn of the loop, the
// window drawing and taking Stop and Close between them.
constexpr size_t kFirstTiles = 2 * kColumns;
constexpr size_t kTilesPerTurn = 4;

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
        // The box is kept narrow so the toolbar fits a 1024-pixel screen; its list shows each
        // port's whole line.
        view()->setMinimumWidth(view()->sizeHintForColumn(0) + 2 * view()->frameWidth());
        QComboBox::showPopup();
    }
};

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

TStationWindow::TStationWindow(const TStationSetup& setup, TStopSignals& stops, QWidget* parent, TPortLister lister)
    : QMainWindow(parent), setup_(setup), stops_(stops),
      programFolder_(setup.ProgramFolder.empty() ? ResolveProgramFolder(ExecutableFolder()) : setup.ProgramFolder),
      ports_(std::make_unique<TCachedPortSource>(std::make_unique<TSystemPortSource>())),
      listPorts_(lister ? std::move(lister) : TPortLister([](const std::string& folder) { return ListPorts(folder); })) {
    setObjectName("StationWindow");
    setWindowTitle(kStationTitle);
    BuildControls();
    timer_ = new QTimer(this);
    timer_->setObjectName("StationTimer");
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(setup_.TickMs);
    connect(timer_, &QTimer::timeout, this, [this] { Tick(); });
    timer_->start();
    builder_ = new QTimer(this);
    builder_->setSingleShot(true);
    builder_->setInterval(0);
    connect(builder_, &QTimer::timeout, this, [this] { BuildTiles(kTilesPerTurn); });
    ShowTotals();
    // No loop runs yet: every tile is made now, and is there when the window is.
    ApplySetup(setup_.Ports.size());
}

TStationWindow::~TStationWindow() {
    // A record server's check still under way is waited for: its answer is then dropped.
    if (checker_.joinable()) checker_.join();
    timer_->stop();
    closeAwaitsPorts_ = false;
    StopAll();
    // The tiles' drivers go before the recorder and the preparation they may still tell.
    for (TStationTile* tile : tiles_) delete tile;
    tiles_.clear();
    for (TStationTile* tile : retired_) delete tile;
    retired_.clear();
    // The last records are on the disk before the window goes; a listing or a preparation under
    // way is waited for and its answer dropped.
    finisher_.Join();
    finishing_.reset();
}

TStationTile* TStationWindow::NewTile(const TStationPort& port, const std::string& identity) {
    auto* tile = new TStationTile(port, identity, Locked(), tileBoard_);
    tile->OnUnitEnded = [this](TStationTile& t, const TUnitEndedEvent& e) { UnitEnded(t, e); };
    tile->OnStoreRecord = [this](TStationTile& t, const TJobResult& r, TJobDriver::TStored stored) {
        return Record(t, r, std::move(stored));
    };
    tile->ClaimUnitId = [this](const std::string& id, std::string& refusal) { return ClaimUnitId(id, refusal); };
    tile->OnUnitIdTaken = [this](TStationTile& t) { MoveToNextAwaitingId(t); };
    tile->UnitIdTarget = [this](TStationTile& t) { return UnitIdTarget(t); };
    tile->OnRemove = [this](TStationTile& t) { RemoveTile(t); };
    tile->OnPortEnded = [this](TStationTile&) { PortEnded(); };
    tile->OnPortNeverOpened = [this](TStationTile& t, const TJobResult& r) { RecordPortNeverOpened(t, r); };
    tiles_.push_back(tile);
    if (OnNewTile) OnNewTile(*tile);
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
    // Tab goes through the tiles' own fields, which the area scrolls into view; the area itself is
    // no stop a reader could name.
    area_->setFocusPolicy(Qt::NoFocus);
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
    // A recipe whose firmware no longer matches is said the moment it is opened, not at Start.
    recipeProblem_ = new TFitLabel(header, 6);
    recipeProblem_->setObjectName("RecipeProblemLabel");
    recipeProblem_->setStyleSheet("color: #b3261e");
    recipeProblem_->hide();
    for (QLabel* l : {firmware_, recipeProblem_, totalsLabel_, recordLabel_}) rows->addWidget(l);
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
    picker->BeforePopup = [this] { RelistPorts(); };
    portPicker_ = picker;
    portPicker_->setObjectName("PortPicker");
    portPicker_->setAccessibleName("Port to add");
    portPicker_->setMinimumContentsLength(14);
    addPort_ = NewButton(bar, "BtnAddPort", "&Add Port");
    openRecipe_ = NewButton(bar, "BtnOpenRecipe", "Open &Recipe...");
    saveRecipe_ = NewButton(bar, "BtnSaveRecipe", "Sa&ve Recipe...");
    // A selector reads out as its value on Linux: its label, through the buddy, is its name.
    baudLabel_ = new QLabel("Baud rate", bar);
    baudLabel_->setBuddy(baudBox_);
    pickerLabel_ = new QLabel("Port to add", bar);
    pickerLabel_->setBuddy(portPicker_);
    for (QWidget* w : std::initializer_list<QWidget*>{start_, stop_, chooseFile_, baudLabel_, baudBox_, openRecipe_, saveRecipe_})
        row->addWidget(w);
    row->addStretch(1);
    row->addWidget(pickerLabel_);
    row->addWidget(portPicker_);
    row->addWidget(addPort_);
    auto* help = NewButton(bar, "BtnHelp", "&Help");
    row->addWidget(help);
    connect(help, &QPushButton::clicked, this, [this] { HelpClick(); });
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

// Start waits until every tile is there (the window is busy meanwhile); the tab order, the port
// picker and the listing are made once, for them all.
void TStationWindow::BuildTiles(size_t count) {
    for (size_t i = 0; i < count && !retired_.empty(); ++i) {
        delete retired_.back();
        retired_.pop_back();
    }
    const size_t now = std::min(count, toBuild_.size());
    for (size_t i = 0; i < now; ++i) {
        TStationTile* tile = NewTile(toBuild_[i], PortIdentity(toBuild_[i], listing_, false));
        const int at = static_cast<int>(tiles_.size()) - 1;
        grid_->addWidget(tile, at / kColumns, at % kColumns, Qt::AlignTop);
    }
    toBuild_.erase(toBuild_.begin(), toBuild_.begin() + static_cast<std::ptrdiff_t>(now));
    if (Building()) return builder_->start();
    Relayout();
    FillPortPicker();
    RelistPorts();
    ShowRunning();
}

void TStationWindow::Relayout() {
    for (TStationTile* tile : tiles_) grid_->removeWidget(tile);
    for (size_t i = 0; i < tiles_.size(); ++i)
        grid_->addWidget(tiles_[i], static_cast<int>(i) / kColumns, static_cast<int>(i) % kColumns, Qt::AlignTop);
    for (int c = 0; c < kColumns; ++c) grid_->setColumnStretch(c, 1);
    grid_->setRowStretch(grid_->rowCount(), 1);
    // The toolbar first, as it is shown, then Tab goes from tile to tile in the order they are shown.
    QWidget* last = start_;
    for (QWidget* w : std::initializer_list<QWidget*>{stop_, chooseFile_, baudBox_, openRecipe_, saveRecipe_, portPicker_, addPort_}) {
        setTabOrder(last, w);
        last = w;
    }
    for (TStationTile* tile : tiles_)
        for (QWidget* w : tile->findChildren<QWidget*>())
            if (w->focusPolicy() & Qt::TabFocus) {
                setTabOrder(last, w);
                last = w;
            }
}

namespace {

bool SamePort(const TStationPort& a, const TStationPort& b) {
    return a.Name == b.Name && a.Port == b.Port && a.Device == b.Device;
}

struct TListedPorts {
    TPortListing Listing;
    std::vector<std::string> Identities;  // of the ports given, in their order
};

}  // namespace

// The ports are listed off the loop (sysfs, /proc and /dev/serial are walked for every device): the
// picker shows the last listing until the new one comes, and each tile its name until its
// identity is known.
void TStationWindow::RelistPorts() {
    if (lister_.Busy()) {
        listAgain_ = true;
        return;
    }
    std::vector<TStationPort> ports;
    for (const TStationTile* tile : tiles_) ports.push_back(tile->Port());
    lister_.Run([lister = listPorts_, folder = programFolder_, ports] {
        TListedPorts listed{lister(folder), {}};
        for (const TStationPort& port : ports) listed.Identities.push_back(PortIdentity(port, listed.Listing));
        return listed;
    }, [this, ports](const TListedPorts& listed) { PortsListed(ports, listed.Listing, listed.Identities); });
}

void TStationWindow::PortsListed(const std::vector<TStationPort>& ports, const TPortListing& listing,
                                 const std::vector<std::string>& identities) {
    listing_ = listing;
    // A short name needs this listing (a device may be the one a COM n leads to): made here, once,
    // and until it comes the tile names its port as given.
    for (size_t t = 0; t < tiles_.size(); ++t)
        for (size_t i = 0; i < ports.size(); ++i)
            if (SamePort(ports[i], tiles_[t]->Port())) {
                tiles_[t]->ShowIdentity(identities[i]);
                tiles_[t]->SetShortName(ShortPortName(ports[i], listing_, static_cast<int>(t) + 1));
            }
    FillPortPicker();
    if (!portsNamed_) {
        portsNamed_ = true;
        if (OnPortsNamed) OnPortsNamed();
    }
    if (listAgain_) {
        listAgain_ = false;
        RelistPorts();
    }
}

// The serial ports present that are not tiles yet: the COM n that open something, then the
// devices, as `zupflshc ports` lists them.
void TStationWindow::FillPortPicker() {
    portPicker_->clear();
    const TPortListing& listing = listing_;
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
    if (const QString same = SameDeviceAs(port); !same.isEmpty()) return ShowMessage(same);
    NewTile(port, PortIdentity(port, listing_, false));
    Relayout();
    FillPortPicker();
    RelistPorts();
}

// One device under a second name would be a second tile fighting the first for its unit: refused
// as the command line refuses it. "" when `port` is a device of its own.
QString TStationWindow::SameDeviceAs(const TStationPort& port) const {
    const std::string key = PortDeviceKey(programFolder_, port.Port, port.Device);
    for (const TStationTile* tile : tiles_)
        if (PortDeviceKey(programFolder_, tile->Port().Port, tile->Port().Device) == key)
            return Local(tile->Port().Name) + " and " + Local(port.Name) + " are the same device (" + Reason(key) +
                   "): it is a tile already";
    return {};
}

void TStationWindow::RemoveTile(TStationTile& tile) {
    if (Locked() || tile.Running() || tile.Releasing()) return;
    tiles_.erase(std::find(tiles_.begin(), tiles_.end(), &tile));
    // Its ids will name no unit: they may be scanned again for another port.
    for (const std::string& id : tile.GivenUnitIds()) unitIds_.Release(id);
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
    // The last recipe's records are still being written: Start goes on once they are.
    if (finishing_) {
        startAfterRecords_ = true;
        return ShowRunning();
    }
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
    NewRun();
    // The file is prepared again now, and read once: what the ports load is what it holds at
    // Start, and that is what a recipe's pin is checked against.
    Prepare(true);
}

void TStationWindow::NewRun() {
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
    // In memory (every port then sends that upload, and nothing is written beside the firmware),
    // on a thread of its own: a file of 64 MiB takes seconds to read, convert and digest.
    preparer_.Run([file = setup_.Firmware, tickMs = setup_.TickMs, folder = programFolder_, pin = setup_.Recipe] {
        LowerThisThreadsPriority();
        return PrepareOnThisThread(file, tickMs, folder, pin ? &*pin : nullptr);
    }, [this](const TPreparedFirmware& prepared) { Prepared(prepared); });
}

void TStationWindow::Prepared(const TPreparedFirmware& prepared) {
    preparing_ = false;
    const bool start = startAfterPreparing_;
    startAfterPreparing_ = false;
    // Before any port opens: the firmware must be the one the recipe pins.
    if (start && Locked() && !prepared.Mismatch.empty()) {
        ShowHeader();
        ShowRunning();
        ShowRecipeProblem(prepared.Mismatch);
        return ShowMessage("No unit was started: " +
                           Local("recipe '" + ShownText(setup_.Recipe->Name) + "': " + prepared.Mismatch + "; " +
                                 RecipeRewriteRemedy(*setup_.Recipe)));
    }
    const TJobResult& result = prepared.Result;
    if (result.Job != TJob::Prepare || result.Kind != TResultKind::Prepared) {
        input_ = {};
        if (Locked())
            ShowRecipeProblem("the firmware '" + ShownText(setup_.Firmware) + "' cannot be prepared: " + result.Reason);
        ShowHeader();
        ShowRunning();
        const QString reason = Reason(result.Reason);
        return ShowMessage((start ? "No unit was started: " : "") + QString("the firmware file cannot be prepared: ") + reason);
    }
    input_ = StationInputOf(result, prepared.Upload);
    if (Locked()) ShowRecipeProblem(prepared.Mismatch);
    ShowHeader();
    if (start) StartPorts();
    ShowRunning();
}

void TStationWindow::StartPorts() {
    running_ = true;
    TStationPlan plan = setup_;
    plan.Ports.clear();
    for (const TStationTile* tile : tiles_) plan.Ports.push_back(tile->Port());
    // A window is a station even with one port.
    if (plan.PauseAfterFailures < 0) plan.PauseAfterFailures = kStationPauseAfterFailures;
    const std::vector<TJobPlan> ports = PortPlans(plan, input_, programFolder_);
    for (size_t i = 0; i < tiles_.size(); ++i) tiles_[i]->Begin(ports[i], programFolder_, stops_);
    PortEnded();
}

void TStationWindow::StopClick() {
    // Start withdrawn before any port opened: no unit is woken.
    startWithdrawn_ = checker_.joinable();
    startAfterRecords_ = false;
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
    // A port whose device is still being let go cannot be started again yet.
    running_ = std::any_of(tiles_.begin(), tiles_.end(), [](const TStationTile* t) { return t->Running() || t->Releasing(); });
    ShowRunning();
    // A Close that waited for the ports goes on once the last is let go.
    if (closeAwaitsPorts_ && !running_) {
        closeAwaitsPorts_ = false;
        close();
    }
}

void TStationWindow::ShowRunning() {
    const bool busy = Running();
    start_->setEnabled(!busy);
    // Stop is there from the moment Start is pressed: it withdraws a Start still being prepared.
    stop_->setEnabled(running_ || startAfterPreparing_ || checker_.joinable() || startAfterRecords_);
    for (QWidget* w : std::initializer_list<QWidget*>{chooseFile_, baudBox_, portPicker_, openRecipe_, saveRecipe_})
        w->setEnabled(!busy);
    addPort_->setEnabled(!busy && portPicker_->count() > 0);
}

void TStationWindow::closeEvent(QCloseEvent* event) {
    if (!closing_ && running_ && AnyWriting() && !AskToStopWhileWriting()) {
        event->ignore();
        return;
    }
    // Nothing may start once the window is closing.
    closing_ = true;
    StopAll();
    FinishRecords();
    // The window goes once its records are written (RecordsFinished closes it again) and its
    // ports' devices are let go (PortEnded does).
    closeAwaitsPorts_ = running_;
    if (finishing_ || running_) event->ignore();
    else event->accept();
}

// What is queued is written before the window goes (or before another recipe's run starts),
// within a bounded time, by a thread of its own: the window goes on drawing, and Stop and Close
// are taken meanwhile.
void TStationWindow::FinishRecords() {
    if (!recorder_ || finishing_) return;
    finishing_ = std::move(recorder_);
    recordLabelBefore_ = recordLabel_->text();
    SetLabelText(recordLabel_, "Writing the last records ...");
    ShowRunning();
    TJobRecorder* recorder = finishing_.get();
    finisher_.Run([recorder] {
        recorder->Drain(TJobRecorder::kFinishLimit);
        return true;
    }, [this](bool) { RecordsFinished(); });
}

void TStationWindow::RecordsFinished() {
    SetLabelText(recordLabel_, recordLabelBefore_);
    // The notices still due may tell a record kept elsewhere on the line above.
    finishing_->Settle();
    finishing_.reset();
    if (closing_) {
        close();
        return;
    }
    ShowRunning();
    if (startAfterRecords_) {
        startAfterRecords_ = false;
        StartClick();
    }
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
    auto* row = new QTreeWidgetItem({QDateTime::currentDateTime().toString("HH:mm:ss"), tile.ShortName(),
                                     QString::fromStdString(result.UnitId), word,
                                     result.Succeeded() ? QString() : Reason(result.Reason)});
    // The short name tells the ports apart at a glance; the whole device is a hover away.
    row->setToolTip(1, tile.IdentityText());
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

// A tile that holds its next unit's id passes a scan on to the first tile after it awaiting one,
// never queueing it silently behind its own; when every port has its id, nobody takes it.
TStationTile* TStationWindow::UnitIdTarget(TStationTile& from) const {
    if (from.AwaitsUnitId()) return &from;
    const auto at = std::find(tiles_.begin(), tiles_.end(), &from);
    if (at == tiles_.end()) return &from;
    const size_t first = static_cast<size_t>(at - tiles_.begin());
    for (size_t i = 1; i < tiles_.size(); ++i)
        if (TStationTile* next = tiles_[(first + i) % tiles_.size()]; next->AwaitsUnitId()) return next;
    return nullptr;
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
    // What every unit must pass, as a station at the terminal would say it.
    if (setup_.Verify) text += "  \u00b7  every unit verified";
    if (!setup_.ExpectVersion.empty()) text += "  \u00b7  software " + Reason(setup_.ExpectVersion) + " required";
    if (setup_.RequireUnitId) text += "  \u00b7  unit id required";
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

bool TStationWindow::OpenRecipe(const std::string& path) {
    if (Running()) return false;
    TStationSetup setup = setup_;
    std::string error;
    if (!StationSetupOfRecipe(path, setup, error)) {
        ShowMessage(Local(error));
        return false;
    }
    // Another recipe may keep its records elsewhere and names itself in them: the last run's are
    // finished first (Start waits for them).
    if (recorder_) FinishRecords();
    if (setup.RecordDb != setup_.RecordDb) locationChecked_ = false;
    setup_ = setup;
    ApplySetup(kFirstTiles);
    return true;
}

void TStationWindow::ApplySetup(size_t firstTiles) {
    // The last setup's tiles leave the screen at once and are deleted a few a turn, as the new
    // ones are made.
    for (TStationTile* tile : tiles_) {
        tile->hide();
        grid_->removeWidget(tile);
        retired_.push_back(tile);
    }
    tiles_.clear();
    toBuild_ = setup_.Ports;
    for (QWidget* w : std::initializer_list<QWidget*>{chooseFile_, baudLabel_, baudBox_, pickerLabel_, portPicker_, addPort_})
        w->setVisible(!Locked());
    baudBox_->setCurrentText(QString::number(setup_.Baud));
    BuildTiles(firstTiles);
    input_ = {};
    ShowRecipeProblem({});
    ShowHeader();
    ShowRunning();
    if (!setup_.Firmware.empty()) Prepare(false);
}

bool TStationWindow::SaveRecipe(const std::string& path) {
    if (input_.Sha256.empty() || tiles_.empty()) {
        ShowMessage("Choose the firmware file and add the ports first: the recipe pins both.");
        return false;
    }
    TStationPlan plan = setup_;
    plan.Ports.clear();
    for (const TStationTile* tile : tiles_) plan.Ports.push_back(tile->Port());
    const std::string absolute = AbsolutePath(path);
    TRecipe recipe = RecipeOf(plan, input_, absolute);
    std::string error;
    if (!WriteRecipe(absolute, recipe, error)) {
        ShowMessage("The recipe was not saved: " + Local(error));
        return false;
    }
    return true;
}

// ---- help, and what a recipe or a port says before any unit ----

// F1 from wherever the focus is: no field of the window takes the key for itself.
void TStationWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_F1 || event->modifiers() != Qt::NoModifier) return QMainWindow::keyPressEvent(event);
    HelpClick();
}

void TStationWindow::HelpClick() {
    if (!help_) help_ = new THelpWindow(this);
    const std::string file = HelpFilePath(programFolder_);
    if (!help_->ShowTopic(QString::fromLocal8Bit(file.c_str()), kStationHelpTopic))
        ShowMessage(QString("Cannot open help file \"%1\"").arg(QString::fromLocal8Bit(file.c_str())));
}

// With the remedy only the recipe's engineer can apply: the operator cannot choose another file.
void TStationWindow::ShowRecipeProblem(const std::string& problem) {
    if (problem.empty() || !Locked()) {
        SetLabelText(recipeProblem_, {});
        recipeProblem_->hide();
        return;
    }
    SetLabelText(recipeProblem_, Reason("recipe '" + ShownText(setup_.Recipe->Name) + "': " + problem + "; " +
                                        RecipeRewriteRemedy(*setup_.Recipe)));
    recipeProblem_->show();
}

// A port that never opened in the run has no unit to record, but the line must see it, as the
// command line's station records its port that did not open: its last failure, once, at its end.
void TStationWindow::RecordPortNeverOpened(TStationTile& tile, const TJobResult& failure) {
    if (!recorder_) return;
    Record(tile, failure, [](const std::string&) {});
}
