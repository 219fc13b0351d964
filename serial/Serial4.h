// TSerial: one serial port, its line settings, reads and writes, and error reporting.
// Works on termios; knows nothing about widgets. Events raised by the receive thread are run on
// the owner's main thread through the poster given at construction.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

enum eParity { paNone, PaOdd, paEven, paMark, paSpace };
enum eDataBits { d7bit, d8bit };
enum eStopBits { st1bit, st2bit };
enum eFlowControl { fcNone, fcRTS_CTS, fcDTR_DSR, fcXON_XOF };
enum eOpModes { rxNormal, rxMessage };
enum eNotifyErr { neDialog, neEvent, neNone };

class TSerial;
class TEventThread;

using TNotifyEvent = std::function<void(TSerial& Sender)>;
using TRxMessageEvent = std::function<void(TSerial& Sender, const std::string& RxMessage)>;

// Hands a function to the owner's main thread, to be run there at its next chance. Must return at
// once (never run the function inline on the calling thread unless the caller is the main thread
// and that is what the owner wants, as in single-threaded tests).
using TMainThreadPoster = std::function<void(std::function<void()>)>;
// Shows one modal error box with the given text (the neDialog report and "Baudrate is not valid").
using TErrorBox = std::function<void(const std::string& Text)>;
// The device a COM number opens: the serial component knows device paths only, and the naming of
// COM ports is its owner's.
using TPortRule = std::function<std::string(int Port)>;

class TSerial {
public:
    static constexpr int BaudRates[15] = {110,   300,   600,   1200,   2400,   4800,   9600,  14400,
                                          19200, 38400, 56000, 57600, 115200, 128000, 256000};

    explicit TSerial(TMainThreadPoster post = {}, TErrorBox errorBox = {});
    ~TSerial();
    TSerial(const TSerial&) = delete;
    TSerial& operator=(const TSerial&) = delete;

    // Published properties (defaults as the component declares them).
    int Port() const;                 // 1..9 normally; other values are formed the same way
    void SetPort(int Value);
    // The line settings below take effect at once on an open port, on the descriptor it holds
    // (never by opening its name again); the driver's queues are emptied as at an open.
    int Baudrate() const;             // 9600
    void SetBaudrate(int Value);      // not in BaudRates: error box "Baudrate is not valid", no change
    eParity Parity() const;           // paNone
    void SetParity(eParity Value);
    eDataBits DataBits() const;       // d7bit
    void SetDataBits(eDataBits Value);
    eStopBits StopBits() const;       // st1bit
    void SetStopBits(eStopBits Value);
    uint16_t RxQueueSize() const;     // 1024
    void SetRxQueueSize(uint16_t Value);
    uint16_t TxQueueSize() const;     // 1024
    void SetTxQueueSize(uint16_t Value);
    eFlowControl FlowMode() const;    // fcNone
    void SetFlowMode(eFlowControl Value);
    bool CheckParity() const;         // true
    void SetCheckParity(bool Value);
    int RxWaiting();                  // 0 when closed
    int TxWaiting();                  // 0 when closed
    eOpModes RxEventMode = rxNormal;
    char MessageStartChar = 2;
    char MessageEndChar = 3;
    uint16_t MessageAppendCount = 0;
    eNotifyErr NotifyErrors = neDialog;
    // errno of the last failure reported, 0 at creation. After a failed open it stays the open's
    // own reason: calls on the port that did not open (AbortRx, a write, ...) report nothing more
    // until the next open.
    int ErrorCode() const;
    // The driver of the open port refused its low-latency mode: the errno (EINVAL when it took the
    // call and kept its old flags), 0 when it took it or has no such mode.
    int LowLatencyRefused() const;
    // The system's message for ErrorCode (strerror), "" when 0; after an open refused for a stale
    // lock file that cannot be removed or another user's COM<n> link, followed by ": " and what
    // was found and how to clear it.
    std::string ErrorText() const;
    // The device went away while the port was open (unplugged adapter, closed terminal); the port
    // is no longer watched until it is opened again.
    bool LineLost() const;
    // The last open refused COM<n> because it is a link another user made (ErrorCode is EPERM):
    // told here, where it was found, so nobody has to look at the link again to tell it apart.
    bool RefusedLink() const;

    // Only what the unit's line gives: it has no ring, break or handshake lines (three wires), and
    // writes finish within their call, so there is no "transmit queue empty" moment to announce.
    TNotifyEvent OnRxData;
    TRxMessageEvent OnMessage;
    TNotifyEvent OnError;

    bool Active() const;
    void SetActive(bool Value);
    // Closes as SetActive(false) does, but only what never waits runs here: the port reads as
    // closed at once, and the rest (the receive thread's answer awaited, at most 7.5 s, the lines
    // dropped, the descriptor closed, the lock removed) runs on a thread of its own that owns the
    // descriptor meanwhile. `closed` is posted to the main thread once the device is let go (at
    // once when nothing was open). An open, and the component's end, wait for a close still under
    // way. Without a poster the whole close runs here and `closed` is called here.
    void CloseAside(std::function<void()> closed);
    // A close handed aside has not let the device go yet.
    bool Closing() const;

    // What Port() opens when no device path is set; without a rule the number names no device
    // (an open fails with ENOENT). What it names is checked as a COM entry: another user's link is
    // refused (RefusedLink).
    void SetPortRule(TPortRule Rule);
    // Opens `Path` itself (any device, e.g. /dev/serial/by-id/...) instead of what COM<n> maps to;
    // "" goes back to the mapping. Takes effect at the next open.
    void SetDevicePath(const std::string& Path);
    const std::string& DevicePath() const;
    std::string DeviceName() const;   // the path the next open will use
    // The device the port has open, or had at its last successful open, as resolved when it was
    // opened (/dev/ttyUSB0 for a COM link or a by-id name); "" when the last open failed.
    std::string OpenedDevice() const;
    // While on, an open must reach the device the port last had (the same resolved path and
    // device number) or it fails with ENODEV: a job whose adapter vanished takes it back only when
    // the same one returns, never whatever its name leads to by then. Off forgets that device.
    void SetHoldDevice(bool On);

    void WriteChar(char Ch);
    void WriteString(const std::string& S);
    // S as a WriteChar of each byte would send it (each byte within WriteChar's time limit: the
    // write fails when the driver takes nothing for that long), in as few writes as it takes.
    void WriteChars(const std::string& S);
    int ReadChar(char& Ch);
    int ReadString(std::string& S);
    void AbortTx();
    void AbortRx();
    void SetSignal(int Line, bool On);   // 0 = RTS, 1 = DTR

    // How long the last close took, waiting for the receive thread included, in milliseconds.
    double LastCloseMillis() const;

    // Test hooks. Where the LCK.. file goes ("" for none; default /run/lock/, used only when
    // writable); the lock file the open port holds ("" if none); how many dispatches the receive
    // thread has made; whether one is posted and not yet run on the main thread.
    void SetLockFolder(const std::string& Folder);
    // Runs on the thread of every close handed aside, with the device it lets go, before anything
    // of the device is touched: a test or a benchmark holds or slows closes there. Process-wide.
    static void SetCloseAsideHook(std::function<void(const std::string& device)> hook);
    std::string LockFilePath() const;
    unsigned DispatchCount() const;
    bool DispatchPending() const;

private:
    friend class TEventThread;
    struct Impl;
    std::unique_ptr<Impl> d;
};
