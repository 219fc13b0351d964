// Opening, reading and replacing files that a user can reach. Nothing here can block on a FIFO or
// a device put where a file is expected, and no replace writes through a symbolic link to a file
// elsewhere. Every failure is an EInOutError naming the file and the reason.
#pragma once

#include <cstddef>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "base/UniqueFd.h"

// The outcome of TryOpenRegularFile: a descriptor, or the errno of the failure, or NotRegular
// when something other than a regular file stands at the name.
struct TOpenResult {
    TUniqueFd Fd;
    int Error = 0;
    bool NotRegular = false;
};

// Opens `path` with `flags` (O_RDONLY, O_WRONLY | O_APPEND | O_CREAT, ... plus O_NOFOLLOW where a
// link must not be followed) without blocking, and keeps it only when it is a regular file.
TOpenResult TryOpenRegularFile(const std::string& path, int flags, mode_t mode = 0666);
// The same, throwing EInOutError(action, path, ...) on failure: "Cannot open file "x": not a
// regular file" for a FIFO, device, socket or (with O_NOFOLLOW) a symbolic link, "Is a directory"
// for a folder, the system's reason otherwise.
TUniqueFd OpenRegularFile(const std::string& path, int flags = O_RDONLY, mode_t mode = 0666,
                          const char* action = "Cannot open file");
// The error for something at `path` that is not a regular file.
[[noreturn]] void ThrowNotRegularFile(const char* action, const std::string& path);

// The whole content of a small file (a settings file), or nullopt when it does not exist. A file
// longer than `cap` bytes is refused ("File too large"), so a huge file is never read into memory.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t cap);
// The rest of the file open at `fd` (named `path` in errors), with the same cap: for a file whose
// owner and mode were judged on this very descriptor.
std::string ReadOpenedFile(int fd, const std::string& path, size_t cap);

// Replaces `path` with `content`: written to a new file beside it, flushed to the disk, then
// renamed over the name. The new file has the old one's permission bits when the old one is this
// user's own (set-id and sticky bits never), else 0666 less the umask. A symbolic link at `path` is
// replaced, never written through; a failure at any point leaves the old file as it was. Refuses a
// folder or a special file (a FIFO, a device) at `path`. Temporaries of this program for `path`
// that a killed run left in the folder are removed on the way.
void ReplaceFile(const std::string& path, std::string_view content);
// Throws unless ReplaceFile(path, ...) could succeed: what stands at `path` may be replaced and the
// folder takes new files. Creates nothing that stays, and nothing through a link.
void CheckReplaceable(const std::string& path);
