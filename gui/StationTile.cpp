#include "gui/StationTile.h"

#include <QDir>
#include <QPalette>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <climits>
#include <cstdlib>

#include "base/ShownText.h"
#include "driver/UnitIds.h"
#include "gui/FitLabel.h"
#include "gui/TileAccessible.h"
#include "host/PortDiagnosis.h"
#include "host/Ports.h"
#include "host/PortSource.h"

namespace {

// Colours a reader with poor colour vision still tells apart on white; the word says it too.
const char* const kGreen = "#1e7b34";
const char* const kRed = "#b3261e";
const char* const kAmber = "#8a5a00";
const char* const kNeutral = "#5f6368";
// A unit answers each block in milliseconds: a second without a word is worth saying.
constexpr std::chrono::milliseconds kSilenceShownAfter{1000};

QString Local(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }
// A reason is UTF-8 text; bytes of the unit or of a file name that are not are shown as <XX>.
QString Reason(const std::string& text) { return QString::fromUtf8(ShownText(text).c_str()); }

// Through the palette: a style sheet would re-polish the label, 16 tiles at once at a unit's end.
void Colour(QLabel* label, const char* colour) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, QColor(colour));
    label->setPalette(p);
}

// A long device name wraps inside the tile rather than widening every column; past `lines` lines
// the rest is in the tooltip.
QLabel* NewLabel(QWidget* parent, const char* name, int lines = 3) {
    auto* l = new TFitLabel(parent, lines);
    l->setObjectName(name);
    return l;
}

// The band's word on its colour, readable from across the line; the colour says it again.
void Band(QLabel* band, const QString& word, const char* colour) {
    QPalette p = band->palette();
    p.setColor(QPalette::Window, QColor(colour));
    p.setColor(QPalette::WindowText, Qt::white);
    band->setPalette(p);
    SetLabelText(band, word);
}

std::string RealPath(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : std::string();
}

// The /dev/serial/by-path name of `device`, "" when it has none.
std::string ByPathName(const std::string& device) {
    const QDir dir("/dev/serial/by-path");
    for (const QFileInfo& entry : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        if (RealPath(entry.absoluteFilePath().toStdString()) == device) return entry.fileName().toStdString();
    return {};
}

std::string TimeLeftText(qint64 ms) {
    const qint64 s = (ms + 999) / 1000;
    if (s < 60) return std::to_string(s) + " s left";
    const qint64 sec = s % 60;
    return std::to_string(s / 60) + ":" + (sec < 10 ? "0" : "") + std::to_string(sec) + " left";
}

}  // namespace

void SetLabelText(QLabel* label, const QString& text) {
    label->setText(text);
    label->setAccessibleName(text);
    label->setToolTip(text.size() > 40 ? text : QString());
}

QString ShortPortName(const TStationPort& port) {
    const QString name = Local(port.Name);
    return port.Device.empty() ? name : name.mid(name.lastIndexOf('/') + 1);
}

std::string PortIdentity(const TStationPort& port, const TPortListing& listing, bool byPath) {
    std::string lines, device = port.Device;
    if (port.Device.empty()) {
        const TComPort* com = port.Port >= 1 && port.Port <= static_cast<int>(listing.Com.size())
                                  ? &listing.Com[static_cast<size_t>(port.Port - 1)]
                                  : nullptr;
        device = com ? com->Target : std::string();
        lines = "COM " + std::to_string(port.Port) + (device.empty() ? "" : ": " + device);
    } else if (IsUsbDeviceSpec(port.Device)) {
        lines = "USB adapter " + port.Device.substr(4);
        for (const TSerialDevice& d : listing.Devices)
            if (!d.UsbSerial.empty() && port.Device == "usb:" + d.UsbSerial) device = d.Path;
        if (!device.empty()) lines += "\n" + device;
    } else {
        // As the operator named it (a by-path name says which slot), which may lead elsewhere.
        lines = port.Name.empty() ? port.Device : port.Name;
    }
    const std::string real = RealPath(device);
    for (const TSerialDevice& d : listing.Devices) {
        if (d.Path != real) continue;
        if (d.ComNumber && !port.Device.empty()) lines += "\nCOM " + std::to_string(d.ComNumber);
        if (!d.ById.empty()) lines += "\nby-id: " + d.ById.substr(d.ById.find_last_of('/') + 1);
        if (!d.UsbSerial.empty()) lines += "\nUSB serial " + d.UsbSerial;
    }
    const std::string slot = real.empty() || !byPath ? std::string() : ByPathName(real);
    if (!slot.empty()) lines += "\nby-path: " + slot;
    return lines;
}

QString ShortPortName(const TStationPort& port, const TPortListing& listing, int position) {
    if (port.Device.empty()) return QString("COM %1").arg(port.Port);
    const std::string real = RealPath(port.Device);
    for (const TSerialDevice& d : listing.Devices)
        if (d.ComNumber && !real.empty() && d.Path == real) return QString("COM %1").arg(d.ComNumber);
    const std::string& given = port.Name.empty() ? port.Device : port.Name;
    const QString own = Local(given.substr(given.find_last_of('/') + 1));
    constexpr int kShort = 12;  // ttyUSB0, ttyACM12, COM3: a column's width
    if (!own.isEmpty() && own.size() <= kShort && !IsUsbDeviceSpec(port.Device)) return own;
    return QString("Port %1").arg(position);
}

TStationTile::TStationTile(const TStationPort& port, const std::string& identity, bool locked, QWidget* parent)
    : QFrame(parent), port_(port) {
    setObjectName("StationTile");
    setFrameShape(QFrame::StyledPanel);
    InstallTileAccessibility();
    setAccessibleName(ShortPortName(port));
    BuildControls(identity, locked);
}

TStationTile::~TStationTile() {
    // The driver goes first: it talks to this tile until it is gone.
    driver_.reset();
}

void TStationTile::ShowIdentity(const std::string& identity) {
    // The port and its device, then the names that identify it on one line, wrapped to three lines
    // at most; the whole list is the tooltip.
    QStringList lines = Local(identity).split('\n');
    const QString first = lines.takeFirst();
    SetLabelText(identity_, lines.isEmpty() ? first : first + "\n" + lines.join(" \u00b7 "));
    static_cast<TFitLabel*>(identity_)->SetMaxLines(3);
    identity_->setToolTip(Local(identity));
    // The group says COM n already: its identity starts with what it leads to.
    if (port_.Device.empty() && identity_->text().startsWith(Local(port_.Name) + ": "))
        identity_->setAccessibleName(identity_->text().mid(port_.Name.size() + 2));
    else if (identity_->text() == Local(port_.Name))
        identity_->setAccessibleName({});
}

void TStationTile::BuildControls(const std::string& identity, bool locked) {
    auto* column = new QVBoxLayout(this);
    column->setSpacing(2);
    column->setContentsMargins(6, 4, 6, 4);
    name_ = NewLabel(this, "PortLabel", 2);
    SetLabelText(name_, Local(port_.Name));
    identity_ = NewLabel(this, "IdentityLabel");
    ShowIdentity(identity);
    idBox_ = new QLineEdit(this);
    idBox_->setObjectName("UnitIdBox");
    // Within the port's group each part says only what it is.
    idBox_->setAccessibleName("Unit id");
    idBox_->setPlaceholderText("scan or type the unit id");
    connect(idBox_, &QLineEdit::returnPressed, this, [this] { UnitIdEntered(); });
    idBox_->installEventFilter(this);
    idLabel_ = NewLabel(this, "UnitIdLabel");
    doing_ = NewLabel(this, "DoingLabel");
    gauge_ = new QProgressBar(this);
    gauge_->setObjectName("Gauge");
    gauge_->setAccessibleName("Blocks sent");
    gauge_->setValue(0);
    timeLeft_ = NewLabel(this, "TimeLeftLabel");
    BuildResultBand();
    // A long reason wraps to four lines at most; its whole text is in the tooltip.
    result_ = NewLabel(this, "ResultLabel", 4);
    unit_ = NewLabel(this, "UnitLabel", 2);
    tally_ = NewLabel(this, "TallyLabel", 2);
    notice_ = NewLabel(this, "NoticeLabel", 4);
    Colour(notice_, kAmber);
    remove_ = new QPushButton("Remove port", this);
    remove_->setObjectName("BtnRemove");
    remove_->setAccessibleName("Remove port");
    remove_->setVisible(!locked);
    connect(remove_, &QPushButton::clicked, this, [this] {
        if (OnRemove) OnRemove(*this);
    });
    goOn_ = new QPushButton("Go on without the record", this);
    goOn_->setObjectName("BtnGoOnUnrecorded");
    goOn_->setAccessibleName("Go on without the record");
    goOn_->hide();
    connect(goOn_, &QPushButton::clicked, this, [this] {
        goOn_->hide();
        if (Running()) driver_->GoOnWithoutRecord();
    });
    for (QWidget* w : std::initializer_list<QWidget*>{name_, identity_, idBox_, idLabel_, doing_, gauge_, timeLeft_,
                                                      band_, result_, unit_, tally_, notice_, goOn_, remove_})
        column->addWidget(w);
    BuildHealthControls(column);
    column->addStretch(1);
    ShowUnitId();
    ApplyFonts();
    SetDoing("not started");
    Band(band_, "NO UNIT YET", kNeutral);
    SetLabelText(result_, {});
    unit_->hide();
    notice_->hide();
    SetLabelText(tally_, "0 loaded, 0 failed");
}

// The port's name in bold and the band's word larger, in whatever font the tile is given.
void TStationTile::ApplyFonts() {
    QFont bold = font();
    bold.setBold(true);
    name_->setFont(bold);
    QFont large = bold;
    if (large.pointSizeF() > 0) large.setPointSizeF(large.pointSizeF() * 1.6);
    else large.setPixelSize(large.pixelSize() * 8 / 5);
    band_->setFont(large);
}

void TStationTile::changeEvent(QEvent* event) {
    QFrame::changeEvent(event);
    if (event->type() == QEvent::FontChange) ApplyFonts();
}

// The slot's health: a slow link, and the pause after failures in a row with its way on.
void TStationTile::BuildHealthControls(QVBoxLayout* column) {
    link_ = NewLabel(this, "LinkLabel");
    link_->setWordWrap(true);
    Colour(link_, kAmber);
    resume_ = new QPushButton("Resume", this);
    resume_->setObjectName("BtnResume");
    resume_->setAccessibleName("Resume " + Local(port_.Name));
    resume_->hide();
    connect(resume_, &QPushButton::clicked, this, [this] { Resume(); });
    column->addWidget(link_);
    column->addWidget(resume_);
}

QString TStationTile::LinkText() const { return link_->text(); }

void TStationTile::Resume() {
    // Also a pause asked for and not yet reached is taken back.
    pauseAtBegin_ = false;
    if (Running()) driver_->Resume();
}

void TStationTile::Pause() {
    if (Running()) driver_->Pause();
    else pauseAtBegin_ = true;
}

void TStationTile::PortPaused(const TPortPausedEvent& paused) {
    resume_->setVisible(paused.Paused);
    if (paused.Paused) SetDoing(Local(PausedText(paused.Failures)));
    else SetDoing(nextUnit_ ? "waiting for the next unit" : "switch the unit on");
}

// ---- the port's run ----

void TStationTile::Begin(const TJobPlan& plan, const std::string& programFolder, TStopSignals& stops) {
    // Ids given for units still to come, in this port's last run or since, go to its first units.
    const std::vector<std::string> ids = GivenUnitIds();
    idsBeforeStart_.clear();
    driver_.reset();
    programFolder_ = programFolder;
    loaded_ = failed_ = stopped_ = 0;
    nextUnit_ = stopping_ = opened_ = false;
    openFailure_.reset();
    shownFault_ = TPortFault::None;
    sent_ = total_ = 0;
    progressDirty_ = true;
    remove_->setEnabled(false);
    goOn_->hide();
    resume_->hide();
    SetLabelText(link_, {});
    ShowTally();
    SayNotice({});
    driver_ = std::make_unique<TJobDriver>(plan, static_cast<TJobListener&>(*this), programFolder, stops);
    if (OnStoreRecord)
        driver_->SetStoreRecord([this](TJobResult& unit, TJobDriver::TStored stored) {
            unit.RecordId = OnStoreRecord(*this, unit, std::move(stored));
        });
    for (const std::string& id : ids) driver_->GiveUnitId(id);
    ShowUnitId();
    if (pauseAtBegin_) driver_->Pause();
    pauseAtBegin_ = false;
    driver_->Begin();
}

void TStationTile::Stop() {
    stopping_ = true;
    if (Running()) driver_->Stop();
}

void TStationTile::FocusUnitId() { idBox_->setFocus(Qt::OtherFocusReason); }

void TStationTile::SayNotice(const std::string& text) {
    SetLabelText(notice_, Local(text));
    notice_->setVisible(!text.empty());
}

QString TStationTile::ResultText() const { return resultText_; }
QString TStationTile::ShortName() const { return name_->text(); }
QString TStationTile::IdentityText() const { return identity_->toolTip(); }

void TStationTile::SetShortName(const QString& name) { SetLabelText(name_, name); }

void TStationTile::BuildResultBand() {
    band_ = NewLabel(this, "ResultBand", 2);
    band_->setAlignment(Qt::AlignCenter);
    band_->setAutoFillBackground(true);
    band_->setBackgroundRole(QPalette::Window);
    band_->setContentsMargins(4, 3, 4, 3);
}

// Under the band: the unit's id and the software version it reported, when they are known.
void TStationTile::ShowUnit(const TJobResult& result) {
    QStringList parts;
    if (!result.UnitId.empty()) parts << "unit " + QString::fromStdString(result.UnitId);
    if (!result.UnitVersion.empty()) parts << "software " + Reason(result.UnitVersion);
    SetLabelText(unit_, parts.join("  \u00b7  "));
    unit_->setVisible(!parts.isEmpty());
}
QString TStationTile::DoingText() const { return doing_->text(); }

void TStationTile::SetDoing(const QString& text) {
    SetLabelText(doing_, text);
    if (text != "sending") SetLabelText(timeLeft_, {});
}

void TStationTile::Event(const TJobEvent& event) {
    std::visit(TOverload{
                   [&](const TStageEvent& e) { Stage(e.Stage); },
                   [&](const TAwaitingEvent& e) { Awaiting(e.Step); },
                   [&](const TProgressEvent& e) {
                       if (e.Sent == 1 || e.Sent == 0) firstBlock_.start();
                       sent_ = e.Sent;
                       total_ = e.Total;
                       progressDirty_ = true;
                   },
                   [&](const TPortWaitEvent& e) { PortWait(e); },
                   [&](const TUnitAnsweredEvent&) { ShowUnitId(); },
                   [&](const TUnitEndedEvent& e) { UnitEnded(e); },
                   [&](const TPortEndEvent& e) { PortEnded(e); },
                   [&](const TPortPausedEvent& e) { PortPaused(e); },
                   [&](const TResultEvent& e) {
                       if (e.Result.Job == TJob::Upload && e.Result.WireRatio > 0)
                           SetLabelText(link_, Local(SlowLinkText(e.Result.WireRatio)));
                   },
                   // What the engine would put in a message box (an adapter's name that finds nothing).
                   [&](const TMessageEvent& e) {
                       if (!e.EndsJob) SayNotice(e.Text);
                   },
                   [](const auto&) {},
               },
               event);
    if (Watch) Watch(event);
}

void TStationTile::Stage(TStage stage) {
    switch (stage) {
    case TStage::OpeningPort: return SetDoing("opening the port");
    case TStage::Erasing:
        nextUnit_ = false;
        return SetDoing("erasing");
    case TStage::Sending: return SetDoing("sending");
    case TStage::Finishing: return SetDoing("finishing the transfer");
    case TStage::Restarting: return SetDoing("restarting");
    case TStage::Verifying: return SetDoing("verifying");
    default: return;
    }
}

void TStationTile::Awaiting(TOperatorStep step) {
    // Anything awaited from the operator comes after the port opened.
    opened_ = true;
    openFailure_.reset();
    if (step == TOperatorStep::UnitId) return SetDoing("scan the next unit's id: the port waits for it");
    if (step != TOperatorStep::SwitchUnitOn) return;
    SetDoing(nextUnit_ ? "waiting for the next unit" : "switch the unit on");
}

void TStationTile::PortWait(const TPortWaitEvent& wait) {
    switch (wait.Why) {
    case TPortWait::NotThereYet: return SetDoing("waiting for the port to appear");
    case TPortWait::Gone:
        return SetDoing(opened_ ? "the adapter is gone: waiting for it to come back"
                                : "the port is not there: waiting for it");
    case TPortWait::Retrying: return SetDoing("the port did not open: trying again every second");
    }
}

void TStationTile::UnitEnded(const TUnitEndedEvent& ended) {
    const TJobResult& result = ended.Result;
    nextUnit_ = nextUnit_ || ended.More;
    if (!opened_ && !ended.Counted && result.Kind == TResultKind::PortFailed) openFailure_ = result;
    ShowResult(result, ended.Counted);
    if (!ended.Counted) {
        // A wake-up nobody answered, or noise on an idle line: the port still waits for its unit.
        if (ended.More && result.PortFault == TPortFault::None) SetDoing("waiting for the next unit");
        return;
    }
    // A unit the operator stopped did not fail: it is counted apart, as its record says interrupted.
    if (result.Kind == TResultKind::Interrupted) ++stopped_;
    loaded_ = ended.Units - ended.Failed;
    failed_ = ended.Failed - stopped_;
    ShowTally();
    ShowUnitId();
    if (!ended.NotKept.empty()) RecordLost(ended.NotKept, ended.More);
    if (OnUnitEnded) OnUnitEnded(*this, ended);
}

// The unit's record is nowhere: the result says so in red over whatever the unit came to, and the
// port wakes no unit until the operator goes on knowing it (or stops).
void TStationTile::RecordLost(const std::string& why, bool held) {
    resultText_ = Reason(why);
    SetLabelText(result_, resultText_);
    Colour(result_, kRed);
    result_->show();
    if (!held) return;
    SetDoing("held: the last unit has no record");
    goOn_->show();
}

void TStationTile::ShowTally() {
    QString text = QString("%1 loaded, %2 failed").arg(loaded_).arg(failed_);
    if (stopped_ > 0) text += QString(", %1 stopped").arg(stopped_);
    SetLabelText(tally_, text);
}

void TStationTile::ShowResult(const TJobResult& result, bool counted) {
    // What is not a unit (a wake-up nobody answered, noise, a stop while waiting) is no result; a
    // port fault is shown all the same.
    if (!counted && result.PortFault == TPortFault::None) return;
    if (!counted && result.PortFault == TPortFault::NoAnswer) return;
    QString word = "FAILED", reason;
    const char* colour = kRed;
    const char* bandColour = kRed;
    if (result.Succeeded()) {
        word = result.Kind == TResultKind::Verified ? "VERIFIED" : "LOADED";
        resultText_ = word.toLower();
        colour = bandColour = kGreen;
    } else if (result.PortFault != TPortFault::None) {
        // A port that keeps failing the same way is tried again every second: it is diagnosed
        // (who holds it, what the system lists) only when the fault changes.
        if (shownFault_ == result.PortFault && shownError_ == result.SystemError) return;
        shownFault_ = result.PortFault;
        shownError_ = result.SystemError;
        ++resultsShown_;
        // /proc and the system's device list are walked by a thread of their own; the result is
        // shown once they have been, unless a later result has been shown meanwhile.
        const int shown = resultsShown_;
        diagnoser_.Run([result, folder = programFolder_] {
            TSystemPortSource ports;
            return DiagnoseResult(result, folder, "/run/lock/", &ports);
        }, [this, result, counted, shown](const TPortDiagnosis& d) {
            if (shown == resultsShown_) ShowPortProblem(result, counted, d);
        });
        return;
    } else if (result.Kind == TResultKind::Interrupted) {
        // Stopped by the operator: neither loaded nor failed.
        word = "STOPPED";
        reason = QString("stopped at block %1 of %2: load it again").arg(result.BlocksSent).arg(result.BlockCount);
        resultText_ = reason;
        colour = bandColour = kNeutral;
    } else {
        reason = Reason(result.Reason);
        resultText_ = "failed: " + reason;
    }
    if (result.PortFault == TPortFault::None) shownFault_ = TPortFault::None;
    ++resultsShown_;
    Band(band_, word, bandColour);
    SetLabelText(result_, reason);
    Colour(result_, colour);
    result_->setVisible(!reason.isEmpty());
    ShowUnit(result);
}

void TStationTile::ShowPortProblem(const TJobResult& result, bool counted, const TPortDiagnosis& d) {
    // A unit the port let down while it was written failed all the same: the word says so.
    // A unit's failure reads as its record does; a port still waiting for its unit gets the remedy.
    const QString remedy = d.Remedy.empty() ? Reason(result.Reason) : Local(d.Remedy);
    const QString reason = counted ? "port problem: " + Reason(result.Reason) : remedy;
    resultText_ = counted ? "failed, port problem: " + Reason(result.Reason) : "port problem: " + remedy;
    Band(band_, counted ? "FAILED" : "PORT PROBLEM", counted ? kRed : kAmber);
    SetLabelText(result_, reason);
    const QString diagnosis = Local(result.SystemReason + "\n" + d.Reason + "\n" + d.Remedy).trimmed();
    if (!diagnosis.isEmpty()) result_->setToolTip(diagnosis);
    Colour(result_, kAmber);
    result_->setVisible(true);
    ShowUnit(result);
}

void TStationTile::PortEnded(const TPortEndEvent& end) {
    resume_->hide();
    if (openFailure_ && !opened_ && OnPortNeverOpened) OnPortNeverOpened(*this, *openFailure_);
    openFailure_.reset();
    goOn_->hide();
    QString doing;
    switch (end.Why) {
    case TPortEnd::Finished: doing = stopping_ || (driver_ && driver_->StopSignal()) ? "stopped" : "done"; break;
    case TPortEnd::CaptureFailed:
    case TPortEnd::InputEnded:
    case TPortEnd::NoUnitId:
    case TPortEnd::RecordLost: doing = "stopped: " + Reason(end.Reason); break;
    }
    progressDirty_ = true;
    // Until its device is let go the port stays busy for the window, and the tile says why.
    if (!driver_->Closing()) return PortReleased(doing);
    SetDoing(doing + " \u00b7 closing the port ...");
    driver_->WhenClosed([this, doing] { PortReleased(doing); });
}

void TStationTile::PortReleased(const QString& doing) {
    SetDoing(doing);
    remove_->setEnabled(true);
    if (OnPortEnded) OnPortEnded(*this);
}

// ---- the unit's id ----

// A window's accelerator whose button is disabled (Alt+S while running) reaches the focused field
// as its letter: it must never become part of an id. A scanner types plain characters.
bool TStationTile::eventFilter(QObject* watched, QEvent* event) {
    if (watched == idBox_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() & (Qt::AltModifier | Qt::MetaModifier) && !key->text().isEmpty()) return true;
    }
    return QFrame::eventFilter(watched, event);
}

void TStationTile::UnitIdEntered() {
    const QString typed = idBox_->text().trimmed();
    if (typed.isEmpty()) return;
    const std::string id = typed.toStdString();
    TStationTile* target = UnitIdTarget ? UnitIdTarget(*this) : this;
    std::string refusal = UnitIdRefusal(id);
    if (refusal.empty() && !target)
        refusal = "every port has its next unit's id: scan " + ShownText(id) + " again once a port has taken its id";
    if (!refusal.empty() || (ClaimUnitId && !ClaimUnitId(id, refusal))) {
        SayNotice(refusal);
        // The next scan replaces the refused id rather than adding to it.
        idBox_->selectAll();
        return;
    }
    idBox_->clear();
    SayNotice(std::string());
    target->TakeUnitId(id);
}

std::string TStationTile::GiveUnitId(const std::string& id) {
    std::string refusal = UnitIdRefusal(id);
    if (refusal.empty() && ClaimUnitId) ClaimUnitId(id, refusal);
    if (refusal.empty()) TakeUnitId(id);
    return refusal;
}

void TStationTile::TakeUnitId(const std::string& id) {
    if (Running()) driver_->GiveUnitId(id);
    else idsBeforeStart_.push_back(id);
    SayNotice(std::string());
    ShowUnitId();
    if (OnUnitIdTaken) OnUnitIdTaken(*this);
}

std::vector<std::string> TStationTile::GivenUnitIds() const {
    std::vector<std::string> ids = driver_ ? driver_->UnitIdsToCome() : std::vector<std::string>();
    ids.insert(ids.end(), idsBeforeStart_.begin(), idsBeforeStart_.end());
    return ids;
}

void TStationTile::ShowUnitId() {
    QStringList next;
    for (const std::string& id : GivenUnitIds()) next << QString::fromStdString(id);
    // The unit that answered has its id for good: it is loading under it.
    const bool loading = driver_ && driver_->UnitAnswered() && !driver_->UnitId().empty();
    QString text = loading ? "loading " + QString::fromStdString(driver_->UnitId()) : QString();
    if (!next.isEmpty()) text += QString(text.isEmpty() ? "" : "; ") + "next: " + next.join(", ");
    SetLabelText(idLabel_, text.isEmpty() ? "no unit id given" : text);
}

// A unit silent mid-transfer is said to be, with for how long, and the estimate stops: a frozen
// block count beside a time left that still counts down would say the unit is on its way.
bool TStationTile::ShowSilence() {
    const std::chrono::milliseconds silent =
        Running() ? driver_->Engine().UnitSilentFor() : std::chrono::milliseconds(0);
    if (silent < kSilenceShownAfter) {
        if (silenceShown_) progressDirty_ = true;
        silenceShown_ = false;
        return false;
    }
    silenceShown_ = true;
    const QString text = QString("no answer from the unit for %1 s").arg(silent.count() / 1000);
    if (doing_->text() != text) SetLabelText(doing_, text);
    if (!timeLeft_->text().isEmpty()) SetLabelText(timeLeft_, {});
    return true;
}

void TStationTile::Refresh() {
    if (ShowSilence() || !progressDirty_) return;
    progressDirty_ = false;
    gauge_->setMaximum(total_ > 0 ? total_ : 100);
    gauge_->setValue(total_ > 0 ? sent_ : 0);
    if (!Writing() || sent_ <= 0 || total_ <= 0) return;
    SetLabelText(doing_, QString("block %1 of %2").arg(sent_).arg(total_));
    // The rate of the blocks so far; the first one says nothing about it.
    if (sent_ >= 2 && firstBlock_.isValid()) {
        const qint64 left = firstBlock_.elapsed() * (total_ - sent_) / (sent_ - 1);
        SetLabelText(timeLeft_, QString::fromStdString(TimeLeftText(left)));
    }
}
