#include "history/HistorySchema.h"

#include "history/HistoryRollup.h"

namespace HistorySchema {
namespace {

// Version 1: the first record, what the window's job could tell.
QStringList Version1(TDialect dialect) {
    const QString id = dialect == TDialect::Sqlite ? "id INTEGER PRIMARY KEY" : "id BIGSERIAL PRIMARY KEY";
    return {
        "CREATE TABLE schema_version (version INTEGER NOT NULL)",
        "INSERT INTO schema_version (version) VALUES (1)",
        "CREATE TABLE job_record (" + id +
            ", start_utc TEXT NOT NULL, duration_ms BIGINT NOT NULL DEFAULT 0,"
            " station TEXT NOT NULL DEFAULT '', job TEXT NOT NULL DEFAULT '', device TEXT NOT NULL DEFAULT '',"
            " input_file TEXT NOT NULL DEFAULT '', input_sha256 TEXT NOT NULL DEFAULT '',"
            " blocks INTEGER NOT NULL DEFAULT 0, file_checksum TEXT NOT NULL DEFAULT '',"
            " unit_checksum TEXT NOT NULL DEFAULT '', result TEXT NOT NULL DEFAULT '',"
            " reason TEXT NOT NULL DEFAULT '')",
        "CREATE INDEX job_record_start ON job_record (start_utc)",
    };
}

// Version 2: who and what ran it, which adapter, the operator's unit id, the station's run.
QStringList Version2() {
    const char* text[] = {"user_name", "program_version", "device_by_id", "adapter_serial", "unit_version",
                          "unit_id", "warnings", "capture_path", "run_id"};
    const char* number[] = {"com_port", "baud", "input_size", "blocks_sent"};
    QStringList steps;
    for (const char* c : text) steps << QString("ALTER TABLE job_record ADD COLUMN %1 TEXT NOT NULL DEFAULT ''").arg(c);
    for (const char* c : number) steps << QString("ALTER TABLE job_record ADD COLUMN %1 BIGINT NOT NULL DEFAULT 0").arg(c);
    steps << "CREATE INDEX job_record_unit ON job_record (unit_id)"
          << "CREATE INDEX job_record_sha256 ON job_record (input_sha256)"
          << "UPDATE schema_version SET version = 2";
    return steps;
}

// Version 3: each record's identity, made when its job starts, so a record kept locally while the
// server was away is forwarded exactly once (the server ignores an identity it already holds), and
// the mark of a local row still to be forwarded. Older rows get an identity of their own.
QStringList Version3(TDialect dialect) {
    const QString identity = dialect == TDialect::Sqlite
                                 ? "lower(hex(randomblob(16)))"
                                 : "md5(random()::text || clock_timestamp()::text || id::text)";
    return {"ALTER TABLE job_record ADD COLUMN record_id TEXT NOT NULL DEFAULT ''",
            "ALTER TABLE job_record ADD COLUMN forward_pending BIGINT NOT NULL DEFAULT 0",
            "UPDATE job_record SET record_id = " + identity,
            "CREATE UNIQUE INDEX job_record_identity ON job_record (record_id)",
            "CREATE INDEX job_record_pending ON job_record (forward_pending)",
            "UPDATE schema_version SET version = 3"};
}

// Version 4: the recipe a station ran under (its file name and the SHA-256 of its content).
QStringList Version4() {
    return {"ALTER TABLE job_record ADD COLUMN recipe TEXT NOT NULL DEFAULT ''",
            "ALTER TABLE job_record ADD COLUMN recipe_sha256 TEXT NOT NULL DEFAULT ''",
            "CREATE INDEX job_record_recipe ON job_record (recipe)", "UPDATE schema_version SET version = 4"};
}

// Version 5: the SHA-256 of the upload's blocks the unit was sent, beside the firmware file's; the
// port as the operator named it (the slot), beside the device it led to; and the device's
// /dev/serial/by-path name. Older rows never knew them: "".
QStringList Version5() {
    return {"ALTER TABLE job_record ADD COLUMN upload_sha256 TEXT NOT NULL DEFAULT ''",
            "ALTER TABLE job_record ADD COLUMN port_name TEXT NOT NULL DEFAULT ''",
            "ALTER TABLE job_record ADD COLUMN device_by_path TEXT NOT NULL DEFAULT ''",
            "UPDATE schema_version SET version = 5"};
}

// Version 6: the pace of each upload (its wire ratio and the median of its replies' delays), the
// unit's number on its port in its run (a socket's insertions), and whether the row is its unit's
// first pass: 0 when the same unit id had been reached and failed before. Older rows learn theirs
// from the rows before them. The indexes serve `history --summary --by`.
QStringList Version6() {
    return {"ALTER TABLE job_record ADD COLUMN wire_ratio DOUBLE PRECISION NOT NULL DEFAULT 0",
            "ALTER TABLE job_record ADD COLUMN reply_median_ms DOUBLE PRECISION NOT NULL DEFAULT 0",
            "ALTER TABLE job_record ADD COLUMN port_unit BIGINT NOT NULL DEFAULT 0",
            "ALTER TABLE job_record ADD COLUMN first_pass BIGINT NOT NULL DEFAULT 1",
            QString("UPDATE job_record SET first_pass = 0 WHERE unit_id <> '' AND EXISTS (SELECT 1 FROM job_record p "
                    "WHERE p.unit_id = job_record.unit_id AND p.id < job_record.id AND p.result IN %1)")
                .arg(kRetriedAfter),
            "CREATE INDEX job_record_port ON job_record (port_name, start_utc)",
            "CREATE INDEX job_record_station ON job_record (station, start_utc)",
            "UPDATE schema_version SET version = 6"};
}

// Version 7: the id of the key that signed the recipe a unit was loaded under. Older rows: "".
QStringList Version7() {
    return {"ALTER TABLE job_record ADD COLUMN recipe_key_id TEXT NOT NULL DEFAULT ''",
            "CREATE INDEX job_record_recipe_key ON job_record (recipe_key_id)", "UPDATE schema_version SET version = 7"};
}

// Version 8: the record summed up as it is kept (see HistoryRollup), filled from the rows it holds.
QStringList Version8(TDialect dialect) {
    return HistoryRollup::Create(dialect) << "UPDATE schema_version SET version = 8";
}

// Version 9: the record summed up by local day as well (see HistoryRollup), filled from the rows.
QStringList Version9(TDialect dialect) {
    return HistoryRollup::CreateDays(dialect) << "UPDATE schema_version SET version = 9";
}

}  // namespace

QStringList StepFrom(int version, TDialect dialect) {
    switch (version) {
    case 0: return Version1(dialect);
    case 1: return Version2();
    case 2: return Version3(dialect);
    case 3: return Version4();
    case 4: return Version5();
    case 5: return Version6();
    case 6: return Version7();
    case 7: return Version8(dialect);
    case 8: return Version9(dialect);
    default: return {};
    }
}

}  // namespace HistorySchema
