// The serial component as the engine's line to the unit: 8 data bits, no parity check, failures
// reported through an event nobody handles, so port failures show up as waits that run out.
#pragma once

#include <string>

#include "engine/UnitPort.h"
#include "serial/Serial4.h"

class TSerialPort : public TUnitPort {
public:
    explicit TSerialPort(TMainThreadPoster post = {}, TErrorBox errorBox = {});

    int Port() const override { return Serial.Port(); }
    void SetPort(int port) override { Serial.SetPort(port); }
    int Baudrate() const override { return Serial.Baudrate(); }
    void SetBaudrate(int baud) override { Serial.SetBaudrate(baud); }
    bool Active() const override { return Serial.Active(); }
    void SetActive(bool active) override { Serial.SetActive(active); }
    void AbortRx() override { Serial.AbortRx(); }
    void AbortTx() override { Serial.AbortTx(); }
    int ReadString(std::string& s) override { return Serial.ReadString(s); }
    void WriteString(const std::string& s) override { Serial.WriteString(s); }
    void WriteChar(char c) override { Serial.WriteChar(c); }
    void WriteChars(const std::string& bytes) override { Serial.WriteChars(bytes); }
    std::string ErrorText() const override { return Serial.ErrorText(); }
    int ErrorCode() const override { return Serial.ErrorCode(); }
    int LowLatencyRefused() const override { return Serial.LowLatencyRefused(); }
    bool LineLost() const override { return Serial.LineLost(); }
    bool RefusedLink() const override { return Serial.RefusedLink(); }
    std::string DisplayName() const override;
    std::string DevicePath() const override { return Serial.DevicePath(); }
    // The device the job actually opened, resolved at its open; before any, what COM n leads to.
    std::string DeviceName() const override {
        const std::string opened = Serial.OpenedDevice();
        return opened.empty() ? Serial.DeviceName() : opened;
    }

    TSerial Serial;
};
