// A station's job fixed in one small file: which job, which firmware (pinned by its SHA-256), the
// speed, the ports, the loop, where the record goes and what every unit must pass. A line runs the
// same recipe all day; the operator cannot change it, and a firmware file that no longer matches it
// is refused before any port opens.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/DriverJob.h"
#include "engine/JobResult.h"

struct TRecipe {
    static constexpr int kFormat = 1;  // the newest format this program reads and writes

    TDriverJob Job = TDriverJob::Upload;  // Upload or Factory
    // The firmware (uploads only): as written in the file, relative to the recipe's folder or absolute.
    std::string Firmware;
    std::string Sha256;         // the firmware's, 64 lower-case hexadecimal digits
    int64_t Size = 0;           // its bytes
    int Blocks = 0;             // as prepared: the blocks and the checksum the unit should report
    std::string Checksum;
    int Baud = 38400;
    std::vector<std::string> Ports;  // "COM 3", a device path (by-path, by-id), "usb:SERIAL"
    bool Loop = false;
    int Count = 0;              // units per port with Loop, 0 for no end
    std::string RecordDb;       // the record's location, "" for the program's own file
    bool Verify = false;        // every upload verified after the unit's restart
    std::string ExpectVersion;  // the software version every unit must report, "" for any
    bool RequireUnitId = false; // no unit is woken before it has its id
    int PauseAfterFailures = -1; // a port pauses after this many failures in a row (0 never); -1: the station's default

    // Known once read or written.
    std::string Path;           // the recipe's absolute path
    std::string Name;           // its file name: how records and the history name it
    std::string ContentSha256;  // of the file's bytes, as records carry it

    // The firmware's absolute path: a relative name is taken from the recipe's folder.
    std::string FirmwarePath() const;
    // The recipe's folder, with its trailing '/'.
    std::string Folder() const;
    // Where the records go: a relative file is taken from the recipe's folder, a server as written.
    std::string RecordLocation() const;
};

// Reads and checks `path`: a regular file on a way no other user could have laid (UntrustedPathReason),
// JSON of a known format with known keys only and sound values. False with `error`, the problem
// in one line (without the recipe's name, which the caller puts before it).
bool ReadRecipe(const std::string& path, TRecipe& recipe, std::string& error);
// The same from the file's bytes; Path and Name stay "".
bool ParseRecipe(const std::string& bytes, TRecipe& recipe, std::string& error);
// The recipe as its file holds it.
std::string RecipeText(const TRecipe& recipe);
// Writes `recipe` to `path` (replaced whole, never half-written) and sets Path, Name and
// ContentSha256. A relative firmware name is kept relative to `path`'s folder.
bool WriteRecipe(const std::string& path, TRecipe& recipe, std::string& error);
// Whether the firmware file is the one the recipe pins, on a way no other user could have laid:
// "" when it is; otherwise the problem, naming the file (and both digests, or the folder or link).
std::string FirmwareMismatch(const TRecipe& recipe);
// The same for the firmware's bytes as already read (their digest and size).
std::string PinnedFirmwareMismatch(const TRecipe& recipe, const std::string& sha256, int64_t size);
// What puts a recipe whose firmware no longer matches right: only the engineer who writes recipes
// can, with the command that writes this one again as it stands (a server's password left out).
std::string RecipeRewriteRemedy(const TRecipe& recipe);
// The same for a file just prepared (`prepared`, the preparation's result), from the digest the
// preparation took: the file is read again only when the preparation failed, to say why.
std::string PreparedFirmwareMismatch(const TRecipe& recipe, const TJobResult& prepared);

// A record location as a station keeps it: a file named relative to `folder` (with its trailing
// '/'; "" for the current folder) made absolute, so it stays the same file wherever the station is
// run from; a server's location, and "", as they are.
std::string AbsoluteRecordLocation(const std::string& location, const std::string& folder = {});

// A port as the operator names it: "COM 3" (or "COM3", "com 3") is COM n, anything else a device.
void PortOfName(const std::string& name, int& comPort, std::string& device);
std::string PortName(int comPort, const std::string& device);
