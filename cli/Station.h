// The command line's jobs for one command: one port as it always was, or a station of several
// ports (and --loop) on one event loop, each port with its own engine, output line, capture file
// and results, and a summary at the end.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/CommandLineJob.h"
#include "cli/CommandLineView.h"
#include "cli/StationControl.h"
#include "driver/StationPlan.h"
#include "driver/StationRun.h"
#include "host/ServiceNotify.h"

class TStopSignals;

// Where the production record attaches: called on the event loop's thread for every unit that
// ends (each unit of a --loop), before its end is told and its port goes on, with the name the
// output gives its port and the id shared by every unit of this run of the program. A unit given the
// station's prepared file carries the firmware file the operator named (its size and SHA-256) as its
// input, not the prepared copy. It returns the record's identity and calls `stored` once the record
// is on the station's disk (with why not, when nothing could keep it).
using TRecordHook = std::function<std::string(const TJobResult& result, const std::string& unit,
                                              const std::string& runId, TJobDriver::TStored stored)>;

class TCliStation {
public:
    // `ports`: the plan's ports as PortPlans made them, their devices resolved; `scan`: ids come
    // from standard input.
    TCliStation(const TStationPlan& plan, std::vector<TJobPlan> ports, bool scan, std::string programFolder,
                TCliView::TMode mode);
    ~TCliStation();

    TRecordHook OnStoreRecord;
    // The control socket (--control), its token (tcp:), and --hold: the ports wait for `start`.
    struct TControlChoice {
        std::string Address;
        std::string TokenFile;
        bool Hold = false;
    };
    void SetControl(TControlChoice control) { control_ = std::move(control); }
    // Called once the station's ports are set up and started (or, held, ready for `start`): a
    // service is ready from here.
    std::function<void()> OnReady;
    // The units loaded and failed so far, and the ports that did not open (the `status` totals).
    TStationTotals Totals() const { return tally_; }
    const std::string& RunId() const { return runId_; }

    // Runs every port to its end; returns the exit status.
    int Run();

private:
    int RunSingle();
    int RunStation();
    bool PrepareOnce(TStopSignals& stops, int& status);
    std::string Record(const TJobResult& result, const TCliVerdict& verdict);
    void Attach(TCliJob& job, const std::string& unit);
    std::unique_ptr<class TUnitIdScan> StartScan(const std::vector<std::unique_ptr<TCliJob>>& jobs,
                                                 const std::vector<std::unique_ptr<TCliView>>& views);
    std::unique_ptr<TStationControl> StartControl(const std::vector<std::unique_ptr<TCliJob>>& jobs,
                                                  const std::vector<std::unique_ptr<TCliView>>& views, int& status);
    void Summary(const std::vector<std::unique_ptr<TCliJob>>& jobs, const std::vector<std::unique_ptr<TCliView>>& views);
    // "12 loaded, 1 failed, 3 ports": the status a station run as a service shows.
    std::string ServiceStatus() const;

    const TStationPlan& plan_;
    std::vector<TJobPlan> ports_;
    const bool scanIds_;
    std::string programFolder_;
    TCliView::TMode mode_;
    std::string runId_;
    TStationInput input_;   // the firmware file as named, and the upload every unit is sent
    TStationTotals tally_;
    TControlChoice control_;
    std::unique_ptr<class TUnitIdScan> scan_;  // --scan, while the ports run
    TServiceNotify service_;  // under systemd: ready, totals, watchdog; otherwise nothing
};
