// Runs the simulated MXR-2 as a child process linked as COM<n> in a folder, for end-to-end tests.
#pragma once

#include <map>
#include <string>
#include <vector>

class SimUnit {
public:
    // Starts zupsim with --dir folder --port n --report <folder>/sim-report.txt plus `args`, and
    // waits until it says its port is linked. Throws std::runtime_error on failure.
    // The unit also gets --exit-with-parent: it ends when the thread that started it ends, so
    // create it on a thread that outlives it (the test's own thread).
    SimUnit(const std::string& folder, int port, const std::vector<std::string>& args = {});
    ~SimUnit();  // stops the unit (SIGTERM, then waits)
    SimUnit(const SimUnit&) = delete;
    SimUnit& operator=(const SimUnit&) = delete;

    // Asks the unit to write its report now and returns it parsed (key -> value). A unit that has
    // ended by itself (--vanish-after) is not asked; its last report is read.
    std::map<std::string, std::string> Report();
    // The unit's flash as written at the last report.
    std::string Flash();
    void Stop();
    int Pid() const { return pid_; }
    const std::string& ReportPath() const { return report_; }

    // The COM<n> link the unit made (folder + "/COM" + n).
    const std::string& LinkPath() const { return link_; }
    // The operator switches the unit off and on (no jumpers); returns once the unit has done so.
    void PowerCycle();
    // Waits up to timeoutMs for the unit to end by itself; true when it has (exit code kept).
    bool WaitForExit(int timeoutMs);
    // Exit status once the unit has ended: the exit code, or 128 + signal; -1 while running.
    int ExitCode() const { return exitCode_; }

private:
    // Reads the unit's stdout until a line equal to `word` (or beginning with `word` + " ",
    // returned in `line`); false on timeout or when the unit ended.
    bool AwaitLine(const std::string& word, int timeoutMs, std::string* line = nullptr);
    void Reap(bool block);

    int pid_ = -1;
    std::string report_;
    std::string flash_;
    std::string link_;
    int out_ = -1;         // read end of the unit's stdout
    std::string pending_;  // stdout text not yet split into lines
    bool eof_ = false;
    int exitCode_ = -1;
};

// The program's end of the link, for tests that play the upload program by hand: raw 8N1, no flow
// control, at a speed the test chooses.
class SimPort {
public:
    SimPort(const std::string& path, int baud);  // throws std::runtime_error
    ~SimPort();
    SimPort(const SimPort&) = delete;
    SimPort& operator=(const SimPort&) = delete;

    void SetSpeed(int baud);
    void Write(const std::string& bytes);
    // Reads until `text` has arrived and returns everything up to and including it; what came
    // after stays for the next read. On timeout returns "" (what came stays too).
    std::string ReadUntil(const std::string& text, int timeoutMs);
    // Reads until `count` bytes came or timeoutMs passed; returns what came (at most count).
    std::string Read(size_t count, int timeoutMs);
    // Everything that arrives within `ms` (for checking that the unit stays silent).
    std::string ReadFor(int ms);
    int Fd() const { return fd_; }

private:
    // Moves what is waiting into pending_, waiting at most timeoutMs; false when the line is gone.
    bool Fill(int timeoutMs);

    int fd_ = -1;
    std::string pending_;
};
