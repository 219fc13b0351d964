// The line to the unit as the engine uses it: the serial component in the program, an in-process
// fake unit in tests. Received bytes are announced on the engine's thread through OnRxData.
#pragma once

#include <chrono>
#include <functional>
#include <string>

class TUnitPort {
public:
    virtual ~TUnitPort() = default;
    virtual int Port() const = 0;
    virtual void SetPort(int port) = 0;
    virtual int Baudrate() const = 0;
    virtual void SetBaudrate(int baud) = 0;
    virtual bool Active() const = 0;
    virtual void SetActive(bool active) = 0;
    virtual void AbortRx() = 0;
    virtual void AbortTx() = 0;
    virtual int ReadString(std::string& s) = 0;
    virtual void WriteString(const std::string& s) = 0;
    virtual void WriteChar(char c) = 0;
    // Bytes that go out back to back, as a WriteChar of each would send them, each within
    // WriteChar's time limit, but in as few writes as the driver takes.
    virtual void WriteChars(const std::string& bytes) {
        for (char c : bytes) WriteChar(c);
    }
    // The system's reason for the last failure, "" when none, and its errno (0 when none).
    virtual std::string ErrorText() const = 0;
    virtual int ErrorCode() const { return 0; }
    // The open port's driver refused the low-latency mode: its errno, 0 otherwise.
    virtual int LowLatencyRefused() const { return 0; }
    // The last open refused COM n as a link another user made (ErrorCode says EPERM).
    virtual bool RefusedLink() const { return false; }
    // The device went away while open (adapter unplugged).
    virtual bool LineLost() const = 0;
    // How the operator's texts name the port: "Com 3", or a device path chosen directly.
    virtual std::string DisplayName() const = 0;
    // The device opened directly instead of a COM port, "" when COM n is used.
    virtual std::string DevicePath() const { return {}; }
    // The device the port opens or last opened ("/dev/ttyS2" for COM 3), for the job's result.
    virtual std::string DeviceName() const { return DevicePath(); }

    // The clock a unit's pace is measured by: the system's steady clock on a real line, the line's
    // own virtual time in tests.
    virtual std::chrono::steady_clock::time_point Now() const { return std::chrono::steady_clock::now(); }

    std::function<void()> OnRxData;
};
