// The record's tables, version by version. A database is brought from whatever version it holds to
// the current one step by step, in one transaction, so a database written by an older program keeps
// every row it had. Used by the store alone.
#pragma once

#include <QString>
#include <QStringList>
#include <array>

namespace HistorySchema {

constexpr int kCurrentVersion = 9;
constexpr const char* kTable = "job_record";
constexpr const char* kVersionTable = "schema_version";

enum class TDialect { Sqlite, Postgres };

// The statements that take a database at `version` (0: empty) to `version + 1`.
QStringList StepFrom(int version, TDialect dialect);

// The results after which the same unit's next record is a retry rather than its first pass: it was
// reached and not loaded (a port that did not open or a file that was refused never reached it).
constexpr const char* kRetriedAfter =
    "('not_verified', 'checksums_different', 'unit_failed', 'timeout', 'interrupted', 'version_different')";

// The current version's columns after the id, in the order the store writes and reads them; the
// last, first_pass, is worked out by the database that takes the row, from the rows it holds.
inline constexpr std::array<const char*, 37> kColumns = {
    "start_utc", "duration_ms", "station", "user_name", "program_version", "job", "device", "device_by_id",
    "adapter_serial", "com_port", "baud", "input_file", "input_size", "input_sha256", "blocks",
    "file_checksum", "unit_checksum", "unit_version", "unit_id", "result", "reason", "warnings",
    "blocks_sent", "capture_path", "run_id", "record_id", "forward_pending", "recipe", "recipe_sha256",
    "upload_sha256", "port_name", "device_by_path", "wire_ratio", "reply_median_ms", "port_unit", "recipe_key_id",
    "first_pass"};

}  // namespace HistorySchema
