#include "records/CommsSettings.h"

#include "base/SafeFile.h"
#include "records/FileText.h"

std::optional<std::string> ReadCommsPortText(const std::string& path) {
    auto content = ReadSmallFile(path, records::kSettingsFileCap);
    if (!content) return std::nullopt;
    auto lines = records::SplitLines(*content);
    if (lines.empty()) return std::nullopt;
    // Each line selects in turn, so the last one decides.
    return lines.back().substr(0, 1);
}

void SaveCommsSettingsFile(const std::string& path, const std::string& portText, const std::string& baudText) {
    ReplaceFile(path, portText + "," + baudText + "\r\n");
}
