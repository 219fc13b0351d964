// Names of places: the program's own folder, and a path's folder and file name.
#pragma once

#include <string>

// Folder of the running executable with a trailing '/', "" when it cannot be found.
std::string ExecutableFolder();
// The folder part of `path`: "." for a bare name, "/" for a name in the root.
std::string FolderOf(const std::string& path);
// Where the file's own name starts in `path` (after its last '/').
size_t FileNameStart(const std::string& path);
// `path` against the current folder, byte for byte: a name that is not valid in the locale's
// encoding reaches the file system as it was typed, never decoded and encoded again.
std::string AbsolutePath(const std::string& path);
