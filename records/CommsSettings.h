// "commsUP.txt": the COM port of the last successful opening, "port,baud" on one CR LF line.
#pragma once

#include <optional>
#include <string>

// The port text the file selects: the first character of its (last) line, "" for an empty line.
// nullopt when the file does not exist or holds no line. Throws EInOutError when it exists but
// cannot be read, is not a regular file or is larger than a settings file can be.
std::optional<std::string> ReadCommsPortText(const std::string& path);
// Writes "port,baud" CR LF, replacing the file. Throws EInOutError (the old content stays).
void SaveCommsSettingsFile(const std::string& path, const std::string& portText, const std::string& baudText);
