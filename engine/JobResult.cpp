#include "engine/JobResult.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<TResultKind, const char*>, 10> kKindNames{{
    {TResultKind::Verified, "verified"},
    {TResultKind::Sent, "sent"},
    {TResultKind::NotVerified, "not_verified"},
    {TResultKind::ChecksumsDifferent, "checksums_different"},
    {TResultKind::UnitFailed, "unit_failed"},
    {TResultKind::TimedOut, "timeout"},
    {TResultKind::PortFailed, "port_failed"},
    {TResultKind::FileFailed, "file_failed"},
    {TResultKind::FactoryComplete, "factory_complete"},
    {TResultKind::Interrupted, "interrupted"},
}};

}  // namespace

const char* ResultKindName(TResultKind kind) {
    for (const auto& [k, name] : kKindNames)
        if (k == kind) return name;
    return "unknown";
}

bool ResultKindFromName(const std::string& name, TResultKind& kind) {
    for (const auto& [k, n] : kKindNames)
        if (name == n) {
            kind = k;
            return true;
        }
    return false;
}

const char* JobName(TJob job) { return job == TJob::Upload ? "upload" : "factory"; }
