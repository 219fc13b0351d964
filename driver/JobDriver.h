// One port's jobs on the engine, driven the same way for every front end: the tick and the arrival
// of bytes, opening when the port appears (--wait), the firmware prepared when the port is open,
// the upload started once it is prepared, the operator's go-on passed on, the next unit of a loop,
// an adapter that leaves and comes back, and the stop signals. It tells its listener every event
// of the engine and the facts of its port; the command line, its station, a station window and the
// single-unit window (operator-paced) turn those into their own words and exit statuses.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/DriverJob.h"
#include "driver/DriverEvents.h"
#include "engine/Sequencer.h"
#include "engine/SerialPort.h"
#include "host/OffLoop.h"

class TStopSignals;

// What one port runs.
struct TJobPlan {
    TDriverJob Job = TDriverJob::Upload;
    std::string Name;         // the port as the operator named it: the device as given, or "COM n"
    int Port = 1;             // COM n when Device is ""
    std::string Device;       // absolute, or a usb: name looked up at each try; "" for COM n
    bool Capture = false;
    std::string CapturePath;  // "" = Capture.txt in the program folder
    std::string FilePath;     // the firmware file's absolute path (upload, prepare)
    // The firmware prepared once for a whole run: every unit loads it from memory and FilePath is
    // never read. nullptr: the port prepares FilePath itself.
    TSharedUpload Prepared;
    bool PrepareInMemory = false;  // a preparation writes nothing beside the firmware
    int Baud = 38400;
    bool Loop = false;        // on to the next unit after each one
    int Count = 0;            // with Loop: units before the port ends, 0 for no end
    int WaitSeconds = 0;      // how long a port that is not there yet is waited for
    int TickMs = 50;
    bool AutoGoOn = false;    // the factory job goes on without waiting for the operator
    std::string ScratchTag;   // the factory job's scratch files: "" for Reserved.*, else own names
    bool Verify = false;          // every upload verified after the unit's restart, whatever its size
    std::string ExpectVersion;    // the software version the unit must report after it, "" for any
    bool RequireUnitId = false;   // a unit is not woken before it has an id (GiveUnitId)
    std::string UnitId;           // the first unit's id, "" for none
    // With Loop: the port pauses before waking another unit once this many units in a row were
    // reached and failed (a worn socket, a cable), until Resume; 0 never pauses.
    int PauseAfterFailures = 0;
    // A window's operator paces the port: nothing opens at Begin, and every step that waits for
    // the operator (the port and its job, the file, Start, Proceed, Repeat Upload, Go Back to
    // Start, Close) waits for the window's button instead of going on by itself. The port is
    // remembered in commsUP.txt, and a result leaves the port open for the operator's next choice.
    bool OperatorPaced = false;
};

class TJobDriver : private TEngineListener {
public:
    TJobDriver(const TJobPlan& plan, TJobListener& listener, const std::string& programFolder, TStopSignals& stops);
    // On a line of the caller's instead of a serial port of its own (the tests' in-process unit in
    // virtual time): the caller runs the ticks.
    TJobDriver(const TJobPlan& plan, TJobListener& listener, const std::string& programFolder, TStopSignals& stops,
               TUnitPort& line);
    // Without the process's stop signals: its owner stops it (a window, at Close or a signal).
    TJobDriver(const TJobPlan& plan, TJobListener& listener, const std::string& programFolder);
    ~TJobDriver() override;
    TJobDriver(const TJobDriver&) = delete;
    TJobDriver& operator=(const TJobDriver&) = delete;

    // Starts on the application's event loop; the port may end (TPortEndEvent) before this returns.
    void Begin();
    // The operator's step is done (the factory job's jumpers are on and the unit is switched on).
    void GoOn();
    // Stops from outside (a signal's number, or 0): the port is released at once and the unit's
    // result says where it stopped.
    void Stop(int signal = 0);
    // The operator's input ended before the go-on, or a port held for a lost record is given up:
    // the port ends with `reason`.
    void Abandon(const std::string& reason);
    // A unit's record could not be kept (TUnitEndedEvent's NotKept): the port wakes no unit until
    // the operator goes on without it (GoOnWithoutRecord) or it is ended (Abandon, Stop).
    bool HeldForLostRecord() const { return static_cast<bool>(lost_); }
    void GoOnWithoutRecord();
    // Paused after PauseAfterFailures units failed in a row: no unit is woken until Resume.
    bool Paused() const { return static_cast<bool>(paused_); }
    void Resume();
    // Asked from outside (a control request): the port finishes the unit it is on, or the wake-up
    // it is sending, then pauses as above; a Resume before then takes the request back.
    void Pause();
    // One step of time: what is due runs. The driver's own timer calls it on its own port.
    void Tick();

    // The id of this port's next unit (typed or scanned): it goes into that unit's result. An id
    // given at any moment before a unit answers its wake-up is that unit's, however many wake-ups
    // ran out before; ids given after the answer wait in order, one for each unit after it.
    void GiveUnitId(const std::string& id);
    // A unit id has been asked for (RequireUnitId) and the port waits for it.
    bool AwaitsUnitId() const { return static_cast<bool>(held_); }
    // The id the unit being run (or about to be woken) took, "" for none.
    const std::string& UnitId() const { return unitId_; }
    // The unit being run answered its wake-up: its id is its own, whatever is given now.
    bool UnitAnswered() const { return unitAnswered_; }
    // The ids given that no unit has answered for yet, in the order the units will take them.
    std::vector<std::string> UnitIdsToCome() const;
    // A unit is being written: stopping now leaves it half-written.
    bool Writing() const { return !ended_ && engine_.Writing(); }

    // Where a unit's record is kept before anyone hears of its end: called for each unit that leaves
    // a record, before TUnitEndedEvent and before the port goes on to its next unit. The front end
    // keeps the record (it may set the result's RecordId) and calls `stored`, on this thread's event
    // loop, once the record is on the station's disk, or with why not once nothing could keep it;
    // until then the port holds. Unset: no hold.
    using TStored = std::function<void(const std::string& notKept)>;
    using TStoreRecord = std::function<void(TJobResult& unit, TStored stored)>;
    void SetStoreRecord(TStoreRecord store) { storeRecord_ = std::move(store); }

    bool Ended() const { return ended_; }
    // A stopped or ended port's device is still being let go, by a thread of its own so that no
    // loop waits for it: it cannot be opened again meanwhile.
    bool Closing() const { return closing_; }
    // `then` runs on this loop once the port's device has been let go (at once when it has).
    void WhenClosed(std::function<void()> then);
    int StopSignal() const { return stopSignal_; }
    int Units() const { return units_; }
    int FailedUnits() const { return failed_; }
    const std::string& ProgramFolder() const { return engine_.ProgramFolder(); }
    // The upload the preparation made (or was given), held in memory for the whole run.
    const TSharedUpload& PreparedUpload() const { return engine_.PreparedUpload(); }

    // ---- the operator's buttons, for an operator-paced port (each a step, followed up as one) ----
    // Start Upload's port at `baudText` (false, with a message, when the baud is not a number).
    bool OpenUpload(const std::string& portText, const std::string& baudText);
    void OpenFactory(const std::string& portText);
    void ChooseFile(const std::string& path);
    void StartUpload();
    void RepeatUpload();
    // Back to the start screen; a unit being written ends interrupted (the window has asked).
    void BackToStart();
    void ToggleCapture();
    // The port ends: a unit being written ends interrupted, capture and the port are closed.
    void Close();
    // The port last remembered in commsUP.txt, read by the window at its start.
    void SetSavedPort(const std::string& port) { engine_.SetSavedPort(port); }
    // Runs a button's own work as a step would run: what it throws is reported as a step's failure.
    void Operate(const std::function<void()>& action) { Act(action); }
    // What a window reads of the job as it stands, and the port (never to drive them).
    const TSequencer& Engine() const { return engine_; }
    const TSerialPort& Port() const { return port_; }
    // The tick's timer, for a window that names it among its components.
    QTimer& TickTimer() { return timer_; }

private:
    TJobDriver(const TJobPlan& plan, TJobListener& listener, const std::string& programFolder, TStopSignals* stops,
               TUnitPort* line);
    void Event(const TEngineEvent& event) override;
    void Start();
    void StartWhenThere();
    void Act(const std::function<void()>& action);
    void AfterStep();
    void Finish(const TJobResult& result);
    void UnitDone(const TJobResult& unit, bool counted, const std::string& notKept = {});
    void End(TPortEnd why, const std::string& reason = {});
    void Release();
    // A preparation is one job whatever the plan's loop: its result is never a port waiting for a unit.
    bool Loops() const { return plan_.Loop && plan_.Job != TDriverJob::Prepare; }
    bool Looping() const { return Loops() && !stopped_; }
    bool IsUnit(const TJobResult& result) const;
    void Again(const TJobResult& result);
    // Again, unless the units failed in a row call for a pause first.
    void GoOnAfter(const TJobResult& result);
    void CountFailureInRow(const TJobResult& result);
    void Launch(std::function<void()> begin);
    void TakeUnitId();
    void NextRun();
    void AwaitReturn();
    void AwaitPort(int intervalMs, qint64 deadlineMs);
    void Poll();
    void PollUsb(bool late);
    std::string WatchedPath();
    std::string UsbDevice(std::string* error) const;
    void UseUsbAdapter();
    bool PathPresent();

    const TJobPlan plan_;
    TJobListener& listener_;
    TStopSignals* signals_;
    int subscription_ = 0;
    int stopSignal_ = 0;
    bool stopped_ = false;  // stopped from outside, by a signal or by the operator
    QObject context_;  // receives what the serial component posts, and owns the timers' connections
    TSerialPort port_;
    TUnitPort& line_;  // the line the engine runs on: port_, or the caller's
    const bool ownLine_;
    TSequencer engine_;
    QTimer timer_;
    bool ended_ = false;
    bool inAfterStep_ = false;
    std::optional<TJobResult> finished_;       // acted on after the step that gave it
    std::function<void()> next_;               // the command a fact called for, after the step
    bool running_ = false;                     // a unit's run has started and has no result yet
    std::deque<std::string> ids_;              // ids given ahead, for the units after this one
    std::string unitId_;                       // the id of the unit being (or about to be) woken
    bool unitAnswered_ = false;                // this wake-up was answered: a new id is the next unit's
    std::function<void()> held_;               // a unit's start, held until it has an id
    TStoreRecord storeRecord_;
    bool holding_ = false;                     // a unit's end waits for its record to be stored
    std::optional<TJobResult> lost_;           // the unit whose record was lost, its port held after it

    int units_ = 0, failed_ = 0;   // units done on this port, and how many of them failed
    int failedInRow_ = 0;          // units reached and failed since the last one loaded (or a resume)
    std::optional<TJobResult> paused_;  // the unit after which the port paused
    bool pauseAsked_ = false;      // paused from outside once the unit it is on ends
    bool again_ = false;           // the port has gone on after a unit (or a unit that never came)
    bool unplugged_ = false;       // the line went while waiting for a unit
    bool outage_ = false;          // the port's loss has been told, and it has not opened since
    bool linkSeen_ = false;        // COM n was its link in the program folder
    std::string usbError_;         // the last told reason a usb: name found no adapter
    QTimer poll_;
    QElapsedTimer pollClock_;
    qint64 pollDeadline_ = -1;
    TOffLoop usbLookup_{&context_};  // a usb: name looked up among the adapters, off the loop
    bool closing_ = false;           // the port's device is being let go off the loop
    bool startWhenClosed_ = false;   // the factory job's next unit opens the port once it has been
    std::function<void()> whenClosed_;
};
