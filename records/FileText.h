// What the settings files of this folder share: their size cap and their line splitting.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace records {

// A settings file holds one line naming a folder or a port; anything past 64 KiB is not one of
// ours and is refused rather than read into memory.
constexpr size_t kSettingsFileCap = 64 * 1024;

// The lines of a text file, each without its CR LF (or LF). A last line without a line end still
// counts; the empty text after a final line end does not.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace records
