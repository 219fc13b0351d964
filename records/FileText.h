// Small whole-file helpers shared by the settings files of this folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace records {

// The whole content of `path`, or nullopt when it does not exist. Throws EInOutError when it
// exists but cannot be read (a directory in its place, no permission, an I/O error).
std::optional<std::string> ReadFileIfExists(const std::string& path);

// Replaces `path` with `content`. The new text goes to a temporary file beside it that is renamed
// over the old one, so a failure at any point leaves the old file as it was. Throws EInOutError
// naming `path`.
void ReplaceFile(const std::string& path, const std::string& content);

// The lines of a text file, each without its CR LF (or LF). A last line without a line end still
// counts; the empty text after a final line end does not.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace records
