// The serial devices attached to the machine, behind a small interface: the port listing, the
// open-failure remedies and `--device usb:...` read them from here, and tests fill it themselves.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
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
    std::string Driver;     // the kernel driver bound to it ("ftdi_sio"), "" when unknown
    int LatencyTimerMs = -1;  // a USB serial driver's latency timer, -1 when it has none
    std::string ByPath;     // its /dev/serial/by-path/... name (the USB slot), "" when it has none
};

// What sysfs under `sysRoot` ("/sys") says of tty `name` ("ttyUSB0"): its driver and, for a USB
// serial driver that has one, the latency timer it holds received bytes back for.
void ReadTtyDriverFacts(const std::string& sysRoot, const std::string& name, TPortInfo& info);

class TPortSource {
public:
    virtual ~TPortSource() = default;
    virtual std::vector<TPortInfo> List() = 0;
    // The listed entry of `device`, by its path or the path it resolves to; false when none.
    virtual bool Find(const std::string& device, TPortInfo& info);
};

// Finds each device in the listing once: a station's records would otherwise walk the system's
// device tree for every unit. A device is known again by its resolved path and device number, so
// an adapter swapped under the same name is looked up anew. A device with nothing behind it in
// the device tree (a pseudo-terminal) is never listed, and is not looked for.
class TCachedPortSource : public TPortSource {
public:
    explicit TCachedPortSource(std::unique_ptr<TPortSource> source) : source_(std::move(source)) {}
    std::vector<TPortInfo> List() override { return source_->List(); }
    bool Find(const std::string& device, TPortInfo& info) override;

private:
    std::unique_ptr<TPortSource> source_;
    std::map<std::pair<std::string, dev_t>, std::optional<TPortInfo>> known_;
};

// What QSerialPortInfo finds, with the names from /dev/serial/by-id and /dev/serial/by-path.
class TSystemPortSource : public TPortSource {
public:
    std::vector<TPortInfo> List() override;
};
