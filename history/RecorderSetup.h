// Where a run's records go, the one way the command line and the station window decide it: the
// location the operator named, else history.sqlite in the program folder.
#pragma once

#include <memory>
#include <string>

#include "history/ResultRecord.h"

// A location the operator named must be usable before a unit is touched (false, with `error`); the
// default one failing only costs the records, which each unit's notice then says. A server that is
// down or does not answer now costs nothing: its records wait in the local file.
// `checked`: RecordLocationProblem has found the named location usable already.
bool MakeJobRecorder(const std::string& recordDb, const std::string& programFolder, const TRecordContext& context,
                     std::unique_ptr<TJobRecorder>& recorder, std::string& error, bool checked = false);
// Whether the location the operator named can be used ("" when it can, or when none was named). It
// may wait for a server's connection, so a window asks it from a thread of its own.
std::string RecordLocationProblem(const std::string& recordDb);
