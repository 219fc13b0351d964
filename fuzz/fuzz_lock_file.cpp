// A lock file of any content: the pid read is the one a lock of either usual form holds, the read
// never looks past the first 63 bytes, and a lock this program writes reads back as its pid.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "serial/serial_posix.h"

namespace {

long PidOf(const std::string& path) {
    bool notAFile = true;
    const long pid = serialio::ReadLockPid(path, notAFile);
    FUZZ_CHECK(!notAFile);
    return pid;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string path = (fuzz::Scratch().Path() / "LCK..ttyS0").string();
    fuzz::WriteFile(path, content);
    const long pid = PidOf(path);
    if (content.empty()) FUZZ_CHECK(pid == -1);

    // Only the first 63 bytes count: a different tail reads the same.
    if (size >= 63) {
        fuzz::WriteFile(path, content.substr(0, 63) + "9999999999\n");
        FUZZ_CHECK(PidOf(path) == pid);
    }

    // What AcquireLockFile writes ("%10d\n") reads back as the pid it names.
    int written = 0;
    if (size >= 4) std::memcpy(&written, data, 4);
    if (written < 0) written = -(written + 1);
    char line[32];
    std::snprintf(line, sizeof line, "%10d\n", written);
    fuzz::WriteFile(path, line);
    FUZZ_CHECK(PidOf(path) == written);
    return 0;
}
