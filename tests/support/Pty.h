// A pseudo-terminal pair for tests: the master end is the "unit", the slave path is the port.
#pragma once

#include <string>

class TestPty {
public:
    TestPty();   // opens a raw master; throws std::runtime_error
    ~TestPty();
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    // Makes `folder` + "COM<n>" a symbolic link to the slave.
    void LinkAs(const std::string& folder, int port) const;
    void Write(const std::string& bytes) const;
    // Reads what arrives until `count` bytes came or `timeoutMs` passed.
    std::string Read(size_t count, int timeoutMs) const;
    // Speed the program set on the port, read on the master side (B38400 -> 38400), 0 if unknown.
    int Speed() const;
    void CloseMaster();

private:
    int master_ = -1;
    int slaveKeep_ = -1;  // keeps the slave side alive so the master never sees a hang-up
    std::string slavePath_;
};
