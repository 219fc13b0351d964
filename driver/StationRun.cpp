#include "driver/StationRun.h"

#include <QDateTime>
#include <unistd.h>

#include "base/ShownText.h"

std::string NewStationRunId() {
    return QDateTime::currentDateTimeUtc().toString("yyyyMMdd'T'HHmmss'Z'").toStdString() + "-" +
           std::to_string(::getpid());
}

TStationInput StationInputOf(const TJobResult& prepared, TSharedUpload upload) {
    TStationInput input;
    input.File = prepared.InputFile;
    input.Size = prepared.InputSize;
    input.Sha256 = prepared.InputSha256;
    input.Blocks = prepared.BlockCount;
    input.Checksum = prepared.FileChecksum;
    input.Upload = std::move(upload);
    return input;
}

void NameStationInput(TJobResult& unit, const TStationInput& input) {
    if (input.File.empty()) return;
    unit.InputFile = input.File;
    unit.InputSize = input.Size;
    unit.InputSha256 = input.Sha256;
}

std::string PortTag(int port, const std::string& device) {
    if (device.empty()) return "COM" + std::to_string(port);
    return ShownText(device.substr(device.find_last_of('/') + 1));
}

std::string PortCapturePath(const std::string& path, const std::string& programFolder, const std::string& tag) {
    const std::string file = path.empty() ? programFolder + "Capture.txt" : path;
    const size_t slash = file.find_last_of('/');
    const size_t dot = file.find_last_of('.');
    const size_t at = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : file.size();
    return file.substr(0, at) + "-" + tag + file.substr(at);
}
