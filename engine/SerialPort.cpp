#include "engine/SerialPort.h"

TSerialPort::TSerialPort(TMainThreadPoster post, TErrorBox errorBox) : Serial(std::move(post), std::move(errorBox)) {
    Serial.SetDataBits(d8bit);
    Serial.SetCheckParity(false);
    Serial.MessageEndChar = 13;
    Serial.NotifyErrors = neEvent;
    Serial.OnRxData = [this](TSerial&) {
        if (OnRxData) OnRxData();
    };
}

std::string TSerialPort::DisplayName() const {
    return Serial.DevicePath().empty() ? "Com " + std::to_string(Serial.Port()) : Serial.DevicePath();
}
