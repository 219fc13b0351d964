// How a job ended, decided once by the step that ends it and reported to every view: the window,
// the command line and the production record each take what they need from it and never work it
// out again from what they were shown.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

enum class TJob { Upload, Factory, Prepare };

enum class TResultKind {
    Verified,            // sent, and the unit's checksum equals the file's
    Sent,                // sent; under the block count from which the unit's protocol verifies
    NotVerified,         // sent, but the unit never gave its checksum
    ChecksumsDifferent,  // sent, and the unit's checksum is not the file's
    UnitFailed,          // the unit said the upload failed, or answered what it should not
    TimedOut,            // a wait for the unit ran out (Awaited says which)
    PortFailed,          // the port did not open (SystemReason says why)
    FileFailed,          // the file could not be prepared
    FactoryComplete,     // the factory job ran to its end
    Interrupted,         // stopped from outside (at block BlocksSent of BlockCount)
    Prepared,            // a preparation: the file became the upload held in memory
    VersionDifferent,    // sent, but the unit reports another software version than the one required
};

// Why a port let the job down, for every front end to explain from the result alone.
enum class TPortFault {
    None,
    Permission,   // this user may not open it
    ForeignLink,  // COM n is a link another user made, refused before it was followed
    Busy,         // another program holds it
    Missing,      // no such device
    NotSerial,    // a file, a folder or a FIFO where a serial device was expected
    OwnTerminal,  // the program's own controlling terminal
    Other,        // any other reason the system gave (SystemError)
    LineLost,     // it opened, then went away (an adapter pulled out)
    NoAnswer,     // it opened, but the unit never answered the wake-up
};

// Verified, sent, a factory job complete, a preparation done; everything else leaves the unit (or
// the file) to be done again.
bool KindSucceeded(TResultKind kind);

struct TJobResult {
    TJob Job = TJob::Upload;
    TResultKind Kind = TResultKind::UnitFailed;
    std::string Reason;        // in the operator's words, one line
    std::string Awaited;       // a timeout: what was awaited ("waiting for Thank You")
    std::string SystemReason;  // a port that did not open: the system's reason
    TPortFault PortFault = TPortFault::None;
    int SystemError = 0;       // the errno behind PortFault, 0 when none
    int BlocksSent = 0;
    int BlockCount = 0;
    std::string FileChecksum;  // four hexadecimal digits, "" before the file was prepared
    std::string UnitChecksum;
    std::string UnitVersion;   // the unit's SWR= reply, as it gave it
    std::string UnitId;        // the operator's id of this unit (typed or scanned), "" when none
    std::vector<std::string> Warnings;
    int Resends = 0;           // blocks the unit asked for again, and resends after silence
    std::string InputFile;     // as the engine was given it
    int64_t InputSize = -1;    // bytes; -1 when it could not be read
    std::string InputSha256;   // of the bytes that were prepared, lower-case hex
    std::string UploadSha256;  // of the upload's blocks as they go to the unit (UploadBlocksSha256)
    std::string Device;        // the device path opened
    std::string PortName;      // "Com 3", or the device chosen directly
    int ComPort = 0;           // COM n, 0 when a device was chosen directly
    int Baud = 0;
    std::chrono::system_clock::time_point Started;
    std::chrono::milliseconds Duration{0};
    std::string CaptureFile;   // "" when capture was off
    std::string RecordId;      // the record's identity, made when the job starts; "" = made when it is kept
    bool UnitWritten = false;        // GO or the bootstrap went out: the unit's flash is not as it was
    bool UnitNeverAnswered = false;  // the port opened, but the wake-up got no answer at all
    bool UnitAnswered = false;       // the unit answered the wake-up (READY, or the C161's ident)
    std::vector<std::string> FilesWritten;  // a preparation: the files it wrote, in order
    // A Software Upload's pace, taken over its block dialogue: the wire's floor for the bytes sent
    // and read against the time they took (1 at the wire, 0 when not measured), and the median time
    // from a block's last byte leaving to the unit's reply being read.
    double WireRatio = 0;
    double ReplyMedianMs = 0;
    int PortUnit = 0;  // the unit's number on its port in this run (1 for the first), 0 outside a run

    bool Succeeded() const { return KindSucceeded(Kind); }
};

// The kind's name in records and JSON ("verified", "not_verified", ...), and back.
const char* ResultKindName(TResultKind kind);
bool ResultKindFromName(const std::string& name, TResultKind& kind);
const char* JobName(TJob job);
// Every kind's name, in the order of the kinds.
const std::vector<std::string>& ResultKindNames();
const char* PortFaultName(TPortFault fault);
// The port as the operator named it, which identifies the slot: "COM 3", or the device path as
// given (a /dev/serial/by-path link, say), which the device it led to may not tell.
std::string GivenPortName(const TJobResult& result);
// The kind of fault an open that failed with `error` (errno) is.
TPortFault PortFaultOfError(int error);
// A job that reached for a unit (every upload and factory job, a port that did not open included)
// leaves a row in the production record; a preparation alone does not.
bool LeavesRecord(const TJobResult& result);
