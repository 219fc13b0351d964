// What the units of one station run share, for every front end that runs several ports at once
// (the command line's station and the station window): one id for the run, the firmware file the
// operator named as every unit's input and its upload prepared once (every port sends it from
// memory), and each port's own capture and scratch file names.
#pragma once

#include <cstdint>
#include <string>

#include "engine/JobResult.h"
#include "engine/PreparedUpload.h"

// "20260105T141502Z-4711": when the run started (UTC) and this process, unique on this station.
std::string NewStationRunId();

// The firmware file as the operator named it, taken from its preparation's result: the bytes that
// were prepared, not whatever the file holds by the time a later unit ends.
struct TStationInput {
    std::string File;        // absolute
    int64_t Size = -1;
    std::string Sha256;
    int Blocks = 0;
    std::string Checksum;    // the upload's checksum, four hexadecimal digits
    TSharedUpload Upload;    // what every port sends, for every unit
};
TStationInput StationInputOf(const TJobResult& prepared, TSharedUpload upload);
// Every unit of the run names the firmware file as prepared, a port that never reached one too.
void NameStationInput(TJobResult& unit, const TStationInput& input);

// How a port's files are told apart: COM3, or the device's own name (ttyUSB0), shown safely.
std::string PortTag(int port, const std::string& device);
// The capture file of one port of several: `path` (or Capture.txt in `programFolder`) with the
// port's tag before the extension, Capture-COM3.txt, Capture-ttyUSB0.txt.
std::string PortCapturePath(const std::string& path, const std::string& programFolder, const std::string& tag);
