// The remembered data-files directory, "ZURuzada.set" in the home directory (the stand-in for
// drive C). The line is written in upper case and resolved back without regard to case.
#pragma once

#include <string>

// The file that remembers the directory: home + "/ZURuzada.set".
std::string DataFilesSetPath(const std::string& home);
// The directory to start in: the remembered one when it still exists (resolved against the file
// system without regard to case, exact match first), else `home`. Throws EInOutError when the
// file exists but cannot be read, is not a regular file or is larger than a settings file can be.
std::string ReadDataFilesDir(const std::string& home);
// Remembers `dir`: upper-cased, or "C:\" when it does not lie inside `home`. Throws EInOutError.
void SaveDataFilesDir(const std::string& dir, const std::string& home);
// The upper-case line for `dir` as it would be written ("C:\" outside home).
std::string DataFilesLine(const std::string& dir, const std::string& home);
