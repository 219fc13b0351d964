// Why a port did not open and what the technician does about it: for each kind of fault (decided
// where the open failed) a reason line and one remedy line, and who holds a port that is taken.
#pragma once

#include "engine/JobResult.h"
#include "host/PortSource.h"

#include <string>
#include <vector>


struct TPortDiagnosis {
    TPortFault Fault = TPortFault::None;
    std::string Reason;   // one line: what was found
    std::string Remedy;   // one line: what to do
};

// A failed open, as the serial component reports it.
struct TOpenFailure {
    std::string Device;          // the path that was opened (TSerial::DeviceName())
    int Error = 0;               // TSerial::ErrorCode()
    int Com = 0;                 // COM n when Device came from the COM<n> mapping, 0 for a device path
    std::string ProgramFolder;   // where the COM<n> links are (with or without a trailing '/')
    std::string LockFolder = "/run/lock/";
    TPortSource* Ports = nullptr;  // the attached adapters, to offer one to link; nullptr: none known
    TPortFault Fault = TPortFault::None;  // the kind the job's result gives; None: Error's kind
};

TPortDiagnosis DiagnoseOpenFailure(const TOpenFailure& failure);
// A port that opened but whose unit never answered the wake-up.
TPortDiagnosis DiagnoseNoAnswer(const std::string& device, int baud);
// What a job's result says about its port, from the result alone: a port that did not open, a
// line lost on the way, a unit that never answered; nothing for any other result.
TPortDiagnosis DiagnoseResult(const TJobResult& result, const std::string& programFolder,
                              const std::string& lockFolder = "/run/lock/", TPortSource* ports = nullptr);

// Who has a device: from the lock file in `lockFolder`, the kernel's lock table, then the open
// descriptors (/proc/*/fd, where this user may look) of any other process, or with `anyProcess`
// false only of ModemManager and brltty (a unit simulator or a test keeps its terminal open
// without holding it). Never opens the device.
struct THolder {
    long Pid = 0;           // 0: nobody found; -1: held, but by whom cannot be seen
    std::string Command;    // its /proc/<pid>/comm, "" when unknown
    std::string LockFile;   // the lock file naming it, "" when none does
    bool Stale = false;     // LockFile names a process that is gone
    bool Planted = false;   // something that is no lock file (a FIFO, a link) has LockFile's name
};
THolder FindHolder(const std::string& device, const std::string& lockFolder = "/run/lock/", bool anyProcess = true);
// "minicom (pid 812)", "ModemManager (pid 612)", "" for nobody.
std::string HolderText(const THolder& holder);

// ModemManager and brltty take serial adapters for their own: those of them running now
// (from /proc/*/comm), each once.
std::vector<std::string> RunningPortGrabbers();
// One line about a running grabber and how to keep it away from the adapter at `device`.
std::string GrabberNote(const std::string& command, const std::string& device);
