// The serial devices attached to the machine, behind a small interface: the port listing, the
// open-failure remedies and `--device usb:...` read them from here, and tests fill it themselves.
#pragma once

#include <string>
#include <vector>

// One serial device as the system lists it.
struct TPortInfo {
    std::string Path;       // /dev/ttyUSB0
    std::string ById;       // its stable /dev/serial/by-id/... name, "" when it has none
    std::string Maker;      // USB manufacturer, "" when not reported
    std::string Product;    // USB product, or the driver's description
    std::string UsbSerial;  // the adapter's USB serial number, "" when it has none
    int Vid = -1;           // USB vendor and product id, -1 when not a USB device
    int Pid = -1;
};

class TPortSource {
public:
    virtual ~TPortSource() = default;
    virtual std::vector<TPortInfo> List() = 0;
};

// What QSerialPortInfo finds, with the by-id names from /dev/serial/by-id.
class TSystemPortSource : public TPortSource {
public:
    std::vector<TPortInfo> List() override;
};
