// A unit's end in the journal with fields of its own (PORT=, UNIT_ID=, RESULT=), so that
// `journalctl -u zupflshc-station@line3 PORT=COM3` finds one slot's history. Only where the
// station's output goes to the journal anyway: systemd names that stream in JOURNAL_STREAM.
#pragma once

#include <string>

struct TJournalEntry {
    std::string Message;  // the line the station prints for it
    std::string Port;     // COM3, or the device's own name
    std::string UnitId;   // "" when the unit had none
    std::string Result;   // the result kind's name
    bool Failed = false;
};

// Where the entry went: the journal, and whether that is the stream standard output or standard
// error writes to (whose own line of the same would show it twice).
struct TJournaled {
    bool Sent = false;
    bool Stdout = false;
    bool Stderr = false;
};

// Sends `entry` when standard output or standard error is the journal's stream; a journal that
// does not take it leaves the lines to the streams (nothing Sent).
TJournaled SendToJournal(const TJournalEntry& entry);
