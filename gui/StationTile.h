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
#include <string>
#include <vector>

#include "driver/JobDriver.h"
#include "driver/StationSetup.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class TStopSignals;
struct TPortListing;

// What identifies a port on the bench: COM n and its device, the /dev/serial/by-id and by-path
// names, the USB adapter's serial number; one item a line.
std::string PortIdentity(const TStationPort& port, const TPortListing& listing);

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
    // An id was taken for the next unit: the window moves on to the next tile awaiting one.
    std::function<void(TStationTile& tile)> OnUnitIdTaken;
    std::function<void(TStationTile& tile)> OnRemove;
    // The port has no more units to run (stopped, or its count reached).
    std::function<void(TStationTile& tile)> OnPortEnded;
    // Sees every event of the port as well, after the tile (benchmarks and tools time them).
    std::function<void(const TJobEvent& event)> Watch;

    const TStationPort& Port() const { return port_; }
    // Runs the port with `plan` until Stop; the tally starts again.
    void Begin(const TJobPlan& plan, const std::string& programFolder, TStopSignals& stops);
    // Stops the port at once: released, and a unit being written ends as interrupted.
    void Stop();
    bool Running() const { return driver_ && !driver_->Ended(); }
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
    // The last unit's result in words ("verified", "failed: ...").
    QString ResultText() const;
    QString DoingText() const;
    // The port's health as it stands: "slow link: ..." when its last unit ran under 0.8 of the
    // wire, "" otherwise; and whether it is paused after failures in a row (the Resume button).
    QString LinkText() const;
    bool Paused() const { return Running() && driver_->Paused(); }
    void Resume();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Event(const TJobEvent& event) override;
    void Stage(TStage stage);
    void Awaiting(TOperatorStep step);
    void PortWait(const TPortWaitEvent& wait);
    void UnitEnded(const TUnitEndedEvent& ended);
    void PortEnded(const TPortEndEvent& end);
    void ShowResult(const TJobResult& result, bool counted);
    void ShowTally();
    void RecordLost(const std::string& why, bool held);
    void SetDoing(const QString& text);
    void UnitIdEntered();
    void ShowUnitId();
    void BuildControls(const std::string& identity, bool locked);
    void BuildHealthControls(class QVBoxLayout* column);
    void PortPaused(const TPortPausedEvent& paused);

    const TStationPort port_;
    std::string programFolder_;
    std::unique_ptr<TJobDriver> driver_;
    QLabel *name_, *identity_, *idLabel_, *doing_, *timeLeft_, *result_, *tally_, *notice_;
    QLineEdit* idBox_;
    QProgressBar* gauge_;
    QPushButton *remove_, *goOn_;
    QLabel* link_ = nullptr;
    QPushButton* resume_ = nullptr;
    bool stopping_ = false;
    bool opened_ = false;       // the port has opened since Start     // the operator stopped the port
    bool nextUnit_ = false;     // a unit has ended: the port waits for the next one
    std::vector<std::string> idsBeforeStart_;  // given while the port did not run: its next run's
    int sent_ = 0, total_ = 0;  // the blocks as the driver last told them
    bool progressDirty_ = false;
    QElapsedTimer firstBlock_;  // since the first block of the unit being loaded
    int loaded_ = 0, failed_ = 0, stopped_ = 0;
    TPortFault shownFault_ = TPortFault::None;  // the port fault the result shows, and its errno
    int shownError_ = 0;
};

// A label's text, which is also what a screen reader reads out for it.
void SetLabelText(QLabel* label, const QString& text);
