// Runs the simulated MXR-2 as a child process linked as COM<n> in a folder, for end-to-end tests.
#pragma once

#include <map>
#include <string>
#include <vector>

class SimUnit {
public:
    // Starts zupsim with --dir folder --port n --report <folder>/sim-report.txt plus `args`, and
    // waits until it says its port is linked. Throws std::runtime_error on failure.
    SimUnit(const std::string& folder, int port, const std::vector<std::string>& args = {});
    ~SimUnit();  // stops the unit (SIGTERM, then waits)
    SimUnit(const SimUnit&) = delete;
    SimUnit& operator=(const SimUnit&) = delete;

    // Asks the unit to write its report now and returns it parsed (key -> value).
    std::map<std::string, std::string> Report();
    // The unit's flash as written at the last report.
    std::string Flash();
    void Stop();
    int Pid() const { return pid_; }
    const std::string& ReportPath() const { return report_; }

private:
    int pid_ = -1;
    std::string report_;
    std::string flash_;
};
