#include "engine/JobResult.h"

#include <array>
#include <cerrno>
#include <utility>

namespace {

// The one table of result kinds: the name records and JSON give each, and whether it succeeded.
struct TKindRow {
    TResultKind Kind;
    const char* Name;
    bool Success;
};
constexpr std::array<TKindRow, 12> kKinds{{
    {TResultKind::Verified, "verified", true},
    {TResultKind::Sent, "sent", true},
    {TResultKind::NotVerified, "not_verified", false},
    {TResultKind::ChecksumsDifferent, "checksums_different", false},
    {TResultKind::UnitFailed, "unit_failed", false},
    {TResultKind::TimedOut, "timeout", false},
    {TResultKind::PortFailed, "port_failed", false},
    {TResultKind::FileFailed, "file_failed", false},
    {TResultKind::FactoryComplete, "factory_complete", true},
    {TResultKind::Interrupted, "interrupted", false},
    {TResultKind::Prepared, "prepared", true},
    {TResultKind::VersionDifferent, "version_different", false},
}};

constexpr std::array<std::pair<TPortFault, const char*>, 10> kFaultNames{{
    {TPortFault::None, "none"},
    {TPortFault::Permission, "permission"},
    {TPortFault::ForeignLink, "foreign_link"},
    {TPortFault::Busy, "busy"},
    {TPortFault::Missing, "missing"},
    {TPortFault::NotSerial, "not_serial"},
    {TPortFault::OwnTerminal, "own_terminal"},
    {TPortFault::Other, "other"},
    {TPortFault::LineLost, "line_lost"},
    {TPortFault::NoAnswer, "no_answer"},
}};

// The open's errno, once, to the kind of fault. EINVAL is how the serial component refuses the
// program's own controlling terminal.
constexpr std::array<std::pair<int, TPortFault>, 9> kErrorFaults{{
    {EACCES, TPortFault::Permission},
    {EPERM, TPortFault::Permission},
    {EBUSY, TPortFault::Busy},
    {ENOENT, TPortFault::Missing},
    {ENODEV, TPortFault::Missing},
    {ENXIO, TPortFault::Missing},
    {ENOTTY, TPortFault::NotSerial},
    {EISDIR, TPortFault::NotSerial},
    {EINVAL, TPortFault::OwnTerminal},
}};

}  // namespace

bool KindSucceeded(TResultKind kind) {
    for (const TKindRow& row : kKinds)
        if (row.Kind == kind) return row.Success;
    return false;
}

const char* ResultKindName(TResultKind kind) {
    for (const TKindRow& row : kKinds)
        if (row.Kind == kind) return row.Name;
    return "unknown";
}

bool ResultKindFromName(const std::string& name, TResultKind& kind) {
    for (const TKindRow& row : kKinds)
        if (name == row.Name) {
            kind = row.Kind;
            return true;
        }
    return false;
}

const std::vector<std::string>& ResultKindNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const TKindRow& row : kKinds) all.emplace_back(row.Name);
        return all;
    }();
    return names;
}

const char* JobName(TJob job) {
    switch (job) {
    case TJob::Upload: return "upload";
    case TJob::Factory: return "factory";
    case TJob::Prepare: return "prepare";
    }
    return "upload";
}

const char* PortFaultName(TPortFault fault) {
    for (const auto& [f, name] : kFaultNames)
        if (f == fault) return name;
    return "other";
}

TPortFault PortFaultOfError(int error) {
    if (error == 0) return TPortFault::None;
    for (const auto& [e, fault] : kErrorFaults)
        if (e == error) return fault;
    return TPortFault::Other;
}

bool LeavesRecord(const TJobResult& result) { return result.Job != TJob::Prepare; }

std::string GivenPortName(const TJobResult& result) {
    return result.ComPort > 0 ? "COM " + std::to_string(result.ComPort) : result.PortName;
}
