// The MXR-2 as seen from its remote-control port: the C161's bootstrap loader, the resident boot
// code with its block dialogue, and the restarted application answering checksum queries. It knows
// nothing about descriptors: the loop hands it bytes with the line speed they came at, and it
// queues what it says in an OutQueue.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Options.h"
#include "base/Sha256.h"
#include "OutQueue.h"

class Unit {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    enum class State { Off, Ready, Erasing, Transfer, Restarting, App, Failed, Halted, Done, Bootstrap };
    enum class BootStage { Ident, Loader1, Loader2, Records };

    Unit(const SimOptions& options, OutQueue& out, int initialSpeed);

    // The speed the program has set on the line. A change to 19200 is a power-on with the
    // bootstrap jumpers fitted.
    void ObserveSpeed(int baud, TimePoint now);
    // Bytes the program sent while the line was at `baud`.
    void Receive(const std::string& bytes, int baud, TimePoint now);
    // Runs what is due: the end of an erase, the restart, dropping a stale partial block.
    void Tick(TimePoint now);
    std::optional<TimePoint> NextDeadline() const;
    // The operator switches the unit off and on again, without jumpers.
    void PowerCycle(TimePoint now);

    // True once after an event that should leave a report behind (an upload completed).
    bool TakeReportRequest();
    bool VanishRequested() const { return vanish_; }

    State GetState() const { return state_; }
    std::string StateName() const;
    std::string ReportText(const std::string& flashFile) const;
    const std::vector<uint8_t>& Flash() const { return flash_; }
    uint16_t FlashChecksum() const;

    // The C161 loader programs as the unit expects them, byte for byte.
    static const std::string& Loader1();
    static const std::string& Loader2();

private:
    struct Timer {
        TimePoint at;
        unsigned epoch;
        std::function<void(TimePoint)> run;
    };

    void NoteSpeed(int baud);
    void Byte(unsigned char c, int baud, TimePoint now);
    bool BootCodeHears(int baud) const;
    TimePoint SendLine(const std::string& text, TimePoint now);
    TimePoint SendRaw(const std::string& bytes, TimePoint now);
    void IdleNoise(TimePoint now);
    void Schedule(TimePoint at, std::function<void(TimePoint)> run);
    void Error(const std::string& what);

    void ReadyLine(const std::string& line, TimePoint now);
    void StartErase(TimePoint now);
    void EraseDone(TimePoint now);
    void TransferByte(unsigned char c, TimePoint now);
    void HandleBlock(const std::string& block, TimePoint now);
    void UploadDone(TimePoint now);
    void AppLine(const std::string& line, TimePoint now);
    void Answered(TimePoint said);
    void PowerCycleFrom(TimePoint from);

    void EnterBootstrap();
    void BootstrapByte(unsigned char c, TimePoint now);
    void HandleRecord(const std::string& record, TimePoint now);
    void RunBootCode();
    void PowerOn(bool factory);

    const SimOptions& opt_;
    OutQueue& out_;
    std::mt19937_64 rng_;
    uint64_t seed_ = 0;

    State state_ = State::Off;
    bool factory_ = false;   // the boot code came in through the bootstrap loader (64 KiB flash)
    int locked_ = 0;         // speed the boot code locked to on the first "U" (the autobaud)
    unsigned epoch_ = 0;     // bumped by every power-on so timers of an earlier life do nothing
    int lastSpeed_ = 0;
    std::vector<int> speeds_;
    std::vector<Timer> timers_;
    bool reportRequested_ = false;
    bool vanish_ = false;

    // Boot code and application.
    std::vector<uint8_t> flash_;
    std::string line_;
    std::string block_;
    TimePoint lastByte_{};
    TimePoint nextIdleNoise_{};
    int wakeups_ = 0;
    int uploads_ = 0;
    int blocks_ = 0;
    int resends_ = 0;
    int duplicates_ = 0;
    std::set<uint32_t> written_;
    TSha256 received_;  // the new blocks of this upload, in the order they came
    bool resendDone_ = false;
    bool silentDone_ = false;
    bool muted_ = false;
    bool baseIndexDone_ = false;
    bool failDone_ = false;
    bool eraseErrorDone_ = false;
    unsigned dialogues_ = 0;  // bumped by every answer after the restart: only the last one's power-off runs
    int swrQueries_ = 0;
    int fcsQueries_ = 0;

    // Bootstrap loader.
    BootStage bootStage_ = BootStage::Ident;
    std::string bootBuf_;
    int bootRecords_ = 0;
    int bootBytes_ = 0;
    int badAcksGiven_ = 0;
    uint32_t linearBase_ = 0;
    std::map<uint32_t, uint8_t> bootMemory_;

    int errors_ = 0;
    std::string lastError_;
};
