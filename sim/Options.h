// Command-line switches of the simulated MXR-2: where it appears, how fast it answers and which
// faults it plays.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SimOptions {
    std::string dir;     // folder that gets the COM<n> link; empty = the program folder (FolderForLink)
    int port = 1;        // n of COM<n>
    std::string report;  // report file; empty = no report written

    int wakeAfter = 3;      // "U" characters the boot code needs before it answers READY
    int eraseMs = 0;        // time the erase takes
    int restartMs = 1500;   // time from THANK YOU until the application answers
    int blockGapMs = 500;   // silence after which a partial block (or loader) is thrown away
    int slowMs = 0;         // extra delay before each line or reply byte
    bool pace = false;      // send at the line's real byte rate
    int replyLatencyMs = 0; // an adapter's latency timer: each reply readable this long after it crossed
    // After an upload the unit runs its application until switched off and on (SIGUSR2); with this
    // at 0 or more it is switched off and on by itself that long after its application came up.
    int powerCycleAfterMs = -1;
    int verifyWaitMs = 8000;  // with powerCycleAfterMs: how long after its restart a question is waited for

    // Block dialogue faults. Block numbers count from 1 in the current upload.
    bool eraseError = false;
    bool eraseTimeout = false;
    bool noErasing = false;
    bool noEraseComplete = false;
    int resendAt = 0;
    int failAt = 0;
    bool failEveryUnit = false;  // failAt fails every upload, not only the first
    int baseIndexAt = 0;
    bool invalidStart = false;
    int silentAfter = 0;
    int resendForever = 0;  // asks for this block again every time it comes
    int muteAt = 0;         // from this block on, answers nothing at all
    bool noThankYou = false;
    bool wrongChecksum = false;
    bool noSwr = false;
    bool noFcs = false;
    bool noise = false;
    int idleNoiseMs = 0;    // while off: a burst of line noise every this many ms (0 = none)
    uint64_t seed = 0;
    bool seedGiven = false;
    int vanishAfter = 0;

    // Bootstrap loader faults.
    bool noIdent = false;
    int ident = 0xD5;
    bool loader1Silent = false;
    bool loader1Bad = false;
    bool loader2Silent = false;
    bool loader2Bad = false;
    int badAckRecord = 0;
    int badAckTimes = 1;
    int recordSilent = 0;

    // Ends the unit when the process that started it dies (tests), so no unit outlives its run.
    bool exitWithParent = false;
};

// Fills `o` from the command line; false with a reason in `error` for an unknown switch or a bad
// number.
bool ParseOptions(int argc, char** argv, SimOptions& o, std::string& error);
// Every switch with its value and its help, as --help and the manual page show them.
struct TSwitchHelp {
    const char* Switch;  // "--resend-at N"
    const char* Text;
};
const std::vector<TSwitchHelp>& SwitchHelp();
// The switches, under the name the program was started by.
std::string UsageText(const std::string& name);
