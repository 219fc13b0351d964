#include "host/ServiceJournal.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace {

// JOURNAL_STREAM is "device:inode" of the stream systemd connected; a descriptor redirected since
// (a file, a pipe to another program) is another file and keeps its lines.
bool IsJournalStream(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    if (!stream || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// sd_journal_send answers success when there is no journal at all ("fail silently"): its socket is
// looked for first, so a line is never dropped for a journal that is not there.
bool JournalListens() {
    struct stat st;
    return ::stat("/run/systemd/journal/socket", &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

TJournaled SendToJournal(const TJournalEntry& entry) {
    TJournaled to{false, IsJournalStream(STDOUT_FILENO), IsJournalStream(STDERR_FILENO)};
    if ((!to.Stdout && !to.Stderr) || !JournalListens()) return {};
    const int sent = sd_journal_send("MESSAGE=%s", entry.Message.c_str(), "PRIORITY=%d", entry.Failed ? LOG_WARNING : LOG_INFO,
                                     "PORT=%s", entry.Port.c_str(), "UNIT_ID=%s", entry.UnitId.c_str(), "RESULT=%s",
                                     entry.Result.c_str(), nullptr);
    if (sent < 0) return {};
    to.Sent = true;
    return to;
}
