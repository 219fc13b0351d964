// The station window: a production line's operators load several units at once, one after another
// on each port, without a shell. One tile per port, each port on a job driver of its own that goes
// on to its next unit by itself; a header with the firmware and the line's totals, the last units,
// and every unit recorded as the command line's station records it.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/JobDriver.h"
#include "driver/Preparation.h"
#include "driver/Recipe.h"
#include "driver/UnitIds.h"
#include "driver/StationRun.h"
#include "driver/StationSetup.h"
#include "gui/StationTile.h"
#include "host/OffLoop.h"
#include "host/Ports.h"

class QComboBox;
class QGridLayout;
class QLabel;
class QPushButton;
class QScrollArea;
class QTimer;
class QTreeWidget;
class TCachedPortSource;
class THelpWindow;
class TJobRecorder;
class TStopSignals;

class TStationWindow : public QMainWindow {
    Q_OBJECT
    friend class TWindowControl;  // the window driven through its control socket
public:
    // The serial ports present, as the port picker and the tiles name them; benchmarks and tests list
    // ports of their own. Called from a worker thread.
    using TPortLister = std::function<TPortListing(const std::string& programFolder)>;
    TStationWindow(const TStationSetup& setup, TStopSignals& stops, QWidget* parent = nullptr, TPortLister lister = {});
    ~TStationWindow() override;

    // Every message box text shown (also when ModalBoxes is off), and every question asked before
    // stopping while units were written, with the answer taken when ModalBoxes is off.
    std::vector<QString> Messages;
    std::vector<QString> Questions;
    bool StopWhileWritingAnswer = false;
    // Every tile as it is made (the control socket watches its port).
    std::function<void(TStationTile& tile)> OnNewTile;
    // Once the ports were first listed: a tile's short name needs the listing, and is final then.
    bool PortsNamed() const { return portsNamed_; }
    std::function<void()> OnPortsNamed;

    void StartClick();
    void CheckLocation();
    void LocationChecked(const std::string& problem);
    void StopClick();
    // Stops every port at once, without asking: a signal that ends the program.
    void StopAll();
    void AddPort(const TStationPort& port);
    // Chooses the firmware file; it is prepared at once, so the header can show its blocks.
    void ChooseFirmware(const std::string& path);
    // Opens a recipe: the window is then locked to it. False (with a message) when it cannot be.
    bool OpenRecipe(const std::string& path);
    // Saves what the window runs now as a recipe; the firmware must have been prepared.
    bool SaveRecipe(const std::string& path);

    // Busy: units running, the firmware being prepared, or the tiles still being built.
    bool Running() const { return running_ || preparing_ || Building(); }
    std::vector<TStationTile*> Tiles() const { return tiles_; }
    const std::string& RunId() const { return runId_; }
    // Records whose fate is known so far (kept somewhere or lost), and those not kept where meant.
    int RecordsTried() const { return recordsTried_; }
    const TStationInput& Firmware() const { return input_; }
    // Opens the station's own topic of the help file.
    void HelpClick();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct TTotals {
        int Loaded = 0, Failed = 0, Stopped = 0, FirstTries = 0, FirstPassLoaded = 0;
    };

    void BuildControls();
    QWidget* BuildHeader();
    QWidget* BuildButtons();
    void Relayout();
    bool Building() const { return !toBuild_.empty() || !retired_.empty(); }
    void BuildTiles(size_t count);
    TStationTile* NewTile(const TStationPort& port, const std::string& identity);
    void RelistPorts();
    void PortsListed(const std::vector<TStationPort>& ports, const TPortListing& listing,
                     const std::vector<std::string>& identities);
    void Tick();
    void Prepare(bool thenStart);
    void Prepared(const TPreparedFirmware& prepared);
    void NewRun();
    void StartPorts();
    void UnitEnded(TStationTile& tile, const TUnitEndedEvent& ended);
    bool ClaimUnitId(const std::string& id, std::string& refusal);
    std::string Record(TStationTile& tile, const TJobResult& unit, TJobDriver::TStored stored);
    void ListUnit(const TStationTile& tile, const TJobResult& result);
    // `firstTiles` of the tiles are made at once, the rest a few a turn of the loop.
    void ApplySetup(size_t firstTiles);
    bool Locked() const { return setup_.Recipe.has_value(); }
    void PortEnded();
    void MoveToNextAwaitingId(const TStationTile& from);
    TStationTile* UnitIdTarget(TStationTile& from) const;
    void RemoveTile(TStationTile& tile);
    QString SameDeviceAs(const TStationPort& port) const;
    bool AskToStopWhileWriting();
    bool AnyWriting() const;
    void ShowMessage(const QString& text);
    void ShowHeader();
    void ShowTotals();
    void ShowRunning();
    void FillPortPicker();
    void FinishRecords();
    void ShowRecipeProblem(const std::string& problem);
    void RecordPortNeverOpened(TStationTile& tile, const TJobResult& failure);
    void RecordsFinished();

    TStationSetup setup_;
    TStopSignals& stops_;
    std::string programFolder_;
    std::vector<TStationTile*> tiles_;
    std::vector<TStationPort> toBuild_;   // the ports whose tiles are still to come, in order
    std::vector<TStationTile*> retired_;  // the last setup's tiles, hidden, going a few a turn
    TStationInput input_;
    bool preparing_ = false, startAfterPreparing_ = false, running_ = false, closing_ = false;
    bool closeAwaitsPorts_ = false;     // Close goes on once every port's device is let go
    std::string runId_;
    TUnitIdRegister unitIds_;           // the ids given in this run
    std::set<std::string> retriedIds_;  // ids given again after a failure
    TTotals totals_;
    QElapsedTimer sinceStart_;
    std::unique_ptr<TJobRecorder> recorder_;
    std::thread checker_;            // asks a named record server whether it can be used
    bool locationChecked_ = false;   // it can: the recorder is made without asking again
    bool startWithdrawn_ = false;    // Stop came while it was asked: Start goes no further
    std::unique_ptr<TCachedPortSource> ports_;
    TPortLister listPorts_;
    bool portsNamed_ = false;
    TPortListing listing_;              // the ports as last listed
    bool listAgain_ = false;            // the tiles changed while the ports were listed
    std::unique_ptr<TJobRecorder> finishing_;  // a run's recorder writing what it still holds
    bool startAfterRecords_ = false;    // Start goes on once they are written
    QString recordLabelBefore_;         // the record line as it was before the wait was told
    // The slow work, each on a thread of its own, its answer back on this loop.
    TOffLoop preparer_{this}, lister_{this}, finisher_{this};
    int recordsTried_ = 0, recordsLost_ = 0, recordsElsewhere_ = 0;
    int ticks_ = 0;

    QLabel *firmware_, *totalsLabel_, *recordLabel_, *recipeProblem_, *baudLabel_, *pickerLabel_;
    THelpWindow* help_ = nullptr;
    QPushButton *start_, *stop_, *chooseFile_, *addPort_, *openRecipe_, *saveRecipe_;
    QComboBox *portPicker_, *baudBox_;
    QScrollArea* area_;
    QWidget* tileBoard_;
    QGridLayout* grid_;
    QTreeWidget* units_;
    QTimer* timer_;
    QTimer* builder_;  // the next few tiles, on the loop's next turn
};
