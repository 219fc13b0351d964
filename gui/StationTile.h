// One port of the station window: its name and what identifies it physically, the id of its next
// unit, what its unit is doing in an operator's words, a gauge and the time left, the last unit's
// result, and the port's tally. It runs the port on a job driver of its own and turns the driver's
// facts into those words; what a unit's end means for the line (its record, the totals, the list
// of last units) is the window's.
#pragma once

#include <QElapsedTimer>
#include <QFrame>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/JobDriver.h"
#include "driver/StationSetup.h"
#include "host/OffLoop.h"
#include "host/PortDiagnosis.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class TStopSignals;
struct TPortListing;

// What identifies a port on the bench: COM n and its device, the /dev/serial/by-id and by-path
// names, the USB adapter's serial number; one item a line. `byPath` false: /dev/serial is not
// walked (what a window may say at once, before a worker has looked).
std::string PortIdentity(const TStationPort& port, const TPortListing& listing, bool byPath = true);
// What the operator calls a port in a word: COM n (also for a device a COM n leads to), the
// device's own name when it is short (ttyUSB0), otherwise its place among the station's ports.
QString ShortPortName(const TStationPort& port, const TPortListing& listing, int position);

// How a reader names the port's tile: COM n, or the device's own name without its folders.
QString ShortPortName(const TStationPort& port);

class TStationTile : public QFrame, private TJobListener {
    Q_OBJECT
public:
    TStationTile(const TStationPort& port, const std::string& identity, bool locked, QWidget* parent = nullptr);
    ~TStationTile() override;

    // A unit ended on this port, as the driver counts it (its result carries its id).
    std::function<void(TStationTile& tile, const TUnitEndedEvent& ended)> OnUnitEnded;
    // Keeps a unit's record before its end is told and the port goes on (the driver holds the port
    // until `stored` is called): returns the record's identity.
    std::function<std::string(TStationTile& tile, const TJobResult& result, TJobDriver::TStored stored)> OnStoreRecord;
    // The operator entered an id; the window may refuse it (false, with the reason).
    std::function<bool(const std::string& id, std::string& refusal)> ClaimUnitId;
    // The tile an id entered here goes to: this one, another awaiting its next unit's id, or
    // nullptr when every port has its next unit's id (the id is refused). Unset: this one.
    std::function<TStationTile*(TStationTile& tile)> UnitIdTarget;
    // An id was taken for the next unit: the window moves on to the next tile awaiting one.
    std::function<void(TStationTile& tile)> OnUnitIdTaken;
    std::function<void(TStationTile& tile)> OnRemove;
    // The port has no more units to run (stopped, or its count reached) and its device is let go.
    std::function<void(TStationTile& tile)> OnPortEnded;
    // The port ended without ever opening since Begin: its last failure, to be recorded.
    std::function<void(TStationTile& tile, const TJobResult& failure)> OnPortNeverOpened;
    // Sees every event of the port as well, after the tile (benchmarks and tools time them).
    std::function<void(const TJobEvent& event)> Watch;

    const TStationPort& Port() const { return port_; }
    // The name shown in bold and in the list of units; the identity lines hold the whole device.
    void SetShortName(const QString& name);
    QString ShortName() const;
    QString IdentityText() const;
    // What identifies the port (PortIdentity), once it is known.
    void ShowIdentity(const std::string& identity);
    // Runs the port with `plan` until Stop; the tally starts again.
    void Begin(const TJobPlan& plan, const std::string& programFolder, TStopSignals& stops);
    // Stops the port at once: released, and a unit being written ends as interrupted.
    void Stop();
    bool Running() const { return driver_ && !driver_->Ended(); }
    // The port has ended and its device is still being let go: it cannot be started or removed.
    bool Releasing() const { return driver_ && driver_->Closing(); }
    // A unit is being written: stopping now leaves it half-written.
    bool Writing() const { return Running() && driver_->Writing(); }
    // No id waits for the port's next unit.
    bool AwaitsUnitId() const { return GivenUnitIds().empty(); }
    // The ids given for units still to come (none has answered for them), in order.
    std::vector<std::string> GivenUnitIds() const;
    void FocusUnitId();
    // Draws the gauge, block n of m and the time left as they stand: once a tick of the window,
    // not once a block.
    void Refresh();
    // A record of this port's unit that did not go where it was meant to.
    void SayNotice(const std::string& text);
    int Loaded() const { return loaded_; }
    int Failed() const { return failed_; }
    int Stopped() const { return stopped_; }
    // The last unit's result in words ("verified", "failed: ...", "port problem: ...").
    QString ResultText() const;
    QString DoingText() const;
    // The port's health as it stands: "slow link: ..." when its last unit ran under 0.8 of the
    // wire, "" otherwise; and whether it is paused after failures in a row (the Resume button).
    QString LinkText() const;
    bool Paused() const { return Running() && driver_->Paused(); }
    void Resume();
    // The port finishes its unit, then waits for Resume (shown as after failures in a row); asked
    // before Start, its first unit.
    void Pause();
    // An id for this port's next unit, by the rules of its id box; "" when taken, else why not.
    std::string GiveUnitId(const std::string& id);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Event(const TJobEvent& event) override;
    void Stage(TStage stage);
    void Awaiting(TOperatorStep step);
    void PortWait(const TPortWaitEvent& wait);
    void UnitEnded(const TUnitEndedEvent& ended);
    void PortEnded(const TPortEndEvent& end);
    void PortReleased(const QString& doing);
    void ShowResult(const TJobResult& result, bool counted);
    void ShowPortProblem(const TJobResult& result, bool counted, const TPortDiagnosis& d);
    void ShowTally();
    void RecordLost(const std::string& why, bool held);
    void SetDoing(const QString& text);
    void UnitIdEntered();
    void TakeUnitId(const std::string& id);
    void ShowUnitId();
    bool ShowSilence();
    void BuildControls(const std::string& identity, bool locked);
    void BuildResultBand();
    void ApplyFonts();
    void ShowUnit(const TJobResult& result);
    void BuildHealthControls(class QVBoxLayout* column);
    void PortPaused(const TPortPausedEvent& paused);

    const TStationPort port_;
    std::string programFolder_;
    std::unique_ptr<TJobDriver> driver_;
    QLabel *name_, *identity_, *idLabel_, *doing_, *timeLeft_, *band_, *result_, *unit_, *tally_, *notice_;
    QString resultText_ = "no unit yet";  // the last result in words, as ResultText gives it
    QLineEdit* idBox_;
    QProgressBar* gauge_;
    QPushButton *remove_, *goOn_;
    QLabel* link_ = nullptr;
    QPushButton* resume_ = nullptr;
    bool stopping_ = false;
    bool pauseAtBegin_ = false;  // a pause asked before Start: the first unit is the last till Resume
    bool opened_ = false;       // the port has opened since Start     // the operator stopped the port
    bool nextUnit_ = false;     // a unit has ended: the port waits for the next one
    std::vector<std::string> idsBeforeStart_;  // given while the port did not run: its next run's
    int sent_ = 0, total_ = 0;  // the blocks as the driver last told them
    bool progressDirty_ = false;
    bool silenceShown_ = false;  // the unit's silence is on show in place of the block count
    QElapsedTimer firstBlock_;  // since the first block of the unit being loaded
    int loaded_ = 0, failed_ = 0, stopped_ = 0;
    TPortFault shownFault_ = TPortFault::None;  // the port fault the result shows, and its errno
    int shownError_ = 0;
    std::optional<TJobResult> openFailure_;  // the port's last failure to open, while it never has
    int resultsShown_ = 0;   // a diagnosis that comes after a later result is not shown
    TOffLoop diagnoser_{this};  // who holds the port and what the system lists, off the loop
};

// A label's text, which is also what a screen reader reads out for it.
void SetLabelText(QLabel* label, const QString& text);
