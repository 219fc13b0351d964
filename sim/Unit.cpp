#include "Unit.h"

#include <algorithm>
#include <cstdio>

#include "base/Hex.h"

namespace {

constexpr size_t kBlockSize = 135;
constexpr size_t kMainFlash = 4u << 20;     // 4 MiB: the boot code of a normal start
constexpr size_t kFactoryFlash = 64u << 10; // 64 KiB: the boot code loaded by the bootstrap
constexpr size_t kMaxLine = 256;
const std::string kUploadDone = "UPLOAD DONE\r";
constexpr int kAppSpeed = 9600;
constexpr int kBootstrapSpeed = 19200;

bool IsBootSpeed(int baud) { return baud == 38400 || baud == 57600; }

int HexDigit(char c) {
    // Upper case only: the block file always carries upper-case addresses.
    return c >= 'a' && c <= 'f' ? -1 : HexDigitValue(c);
}

// Noise never holds CR, LF or letters, so it can never complete or fake a line of the unit.
const std::string kNoise = std::string("0123456789#*+-.,;!?~ ") + "\x01\x07\x1B\x7F\x80\xA5\xFE\xFF";

}  // namespace

const std::string& Unit::Loader1() {
    static const std::string bytes = BytesOfHex(
        "E6582200E6F1AB00E6F200F67EB79AB7FE70A402B2FE"
        "0821A0119DF8EA0000F6");
    return bytes;
}

const std::string& Unit::Loader2() {
    static const std::string bytes = BytesOfHex(
        "E005E6890002E6861E04E60C0308E68A1F06E60DE108E68B1E06E60E"
        "0403E68C0806E60F0000E68D0000BB0AE6585500BB13BB309A88FC60"
        "9AB6FE70FA0800006E88E6F400017EB7CB009AB7FE70F3F0B2FE7EB7"
        "0070CB00E007E000BBF649002D0749012D1549022D1049042D0ECB00"
        "BBECF030BBEAF130BBE8F120BBE6DC05B9010811A0133DFACB00BBDF"
        "F050CB006F88CB00F6F70EFECC005B44CC00F3FC0CFEA1C0F7FCB0FE7EB6CB00");
    return bytes;
}

Unit::Unit(const SimOptions& options, OutQueue& out, int initialSpeed)
    : opt_(options), out_(out), lastSpeed_(initialSpeed) {
    out_.SetHold(std::chrono::milliseconds(options.replyLatencyMs));
    seed_ = options.seedGiven ? options.seed : std::random_device{}();
    rng_.seed(seed_);
    // A unit out of the box: empty flash behind the resident boot code.
    flash_.assign(kMainFlash, 0xFF);
}

// ---- plumbing ---------------------------------------------------------------------------------

void Unit::NoteSpeed(int baud) {
    if (std::find(speeds_.begin(), speeds_.end(), baud) == speeds_.end()) speeds_.push_back(baud);
}

void Unit::Error(const std::string& what) {
    ++errors_;
    lastError_ = what;
}

Unit::TimePoint Unit::SendRaw(const std::string& bytes, TimePoint now) {
    return out_.Push(bytes, now + std::chrono::milliseconds(opt_.slowMs));
}

Unit::TimePoint Unit::SendLine(const std::string& text, TimePoint now) {
    std::string bytes;
    if (opt_.noise) {
        std::uniform_int_distribution<size_t> count(1, 3), pick(0, kNoise.size() - 1);
        for (size_t n = count(rng_); n > 0; --n) bytes.push_back(kNoise[pick(rng_)]);
    }
    bytes += text;
    bytes += "\r\n";
    return SendRaw(bytes, now);
}

// A unit that is off and a line that picks up noise: bytes keep coming although nobody answers.
void Unit::IdleNoise(TimePoint now) {
    if (opt_.idleNoiseMs <= 0 || state_ != State::Off || now < nextIdleNoise_) return;
    std::uniform_int_distribution<size_t> count(1, 8), pick(0, kNoise.size() - 1);
    std::string bytes;
    for (size_t n = count(rng_); n > 0; --n) bytes.push_back(kNoise[pick(rng_)]);
    SendRaw(bytes, now);
    nextIdleNoise_ = now + std::chrono::milliseconds(opt_.idleNoiseMs);
}

void Unit::Schedule(TimePoint at, std::function<void(TimePoint)> run) {
    timers_.push_back({at, epoch_, std::move(run)});
}

bool Unit::TakeReportRequest() {
    bool r = reportRequested_;
    reportRequested_ = false;
    return r;
}

std::optional<Unit::TimePoint> Unit::NextDeadline() const {
    std::optional<TimePoint> next;
    auto consider = [&](TimePoint t) {
        if (!next || t < *next) next = t;
    };
    for (const Timer& t : timers_) consider(t.at);
    if (opt_.idleNoiseMs > 0 && state_ == State::Off) consider(nextIdleNoise_);
    const auto gap = std::chrono::milliseconds(opt_.blockGapMs);
    if (!block_.empty() || !bootBuf_.empty()) consider(lastByte_ + gap + std::chrono::milliseconds(1));
    return next;
}

void Unit::Tick(TimePoint now) {
    // Timers may schedule new ones; run only those due now, each once.
    std::vector<Timer> due;
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (it->at <= now) {
            due.push_back(std::move(*it));
            it = timers_.erase(it);
        } else {
            ++it;
        }
    }
    std::sort(due.begin(), due.end(), [](const Timer& a, const Timer& b) { return a.at < b.at; });
    for (Timer& t : due)
        if (t.epoch == epoch_) t.run(now);

    // A block (or loader, or record) that stopped arriving half-way is line garbage: a real UART
    // and boot code resynchronise on the next burst.
    const auto gap = std::chrono::milliseconds(opt_.blockGapMs);
    if (now - lastByte_ > gap) {
        if (!block_.empty()) {
            Error("partial block of " + std::to_string(block_.size()) + " bytes discarded");
            block_.clear();
        }
        if (!bootBuf_.empty()) {
            Error("partial bootstrap transfer of " + std::to_string(bootBuf_.size()) + " bytes discarded");
            bootBuf_.clear();
        }
    }
    IdleNoise(now);
}

void Unit::ObserveSpeed(int baud, TimePoint) {
    if (baud == lastSpeed_) return;
    lastSpeed_ = baud;
    NoteSpeed(baud);
    // The program only selects 19200 for the factory job, done with the jumpers fitted and the
    // unit switched on afresh.
    if (baud == kBootstrapSpeed && state_ != State::Bootstrap) EnterBootstrap();
}

void Unit::Receive(const std::string& bytes, int baud, TimePoint now) {
    ObserveSpeed(baud, now);
    if (bytes.empty()) return;
    NoteSpeed(baud);
    Tick(now);  // a stale partial block goes before the new bytes join it
    for (unsigned char c : bytes) {
        if (vanish_) return;
        Byte(c, baud, now);
    }
    lastByte_ = now;
}

void Unit::PowerOn(bool factory) {
    ++epoch_;
    state_ = State::Off;
    factory_ = factory;
    locked_ = 0;
    wakeups_ = 0;
    line_.clear();
    block_.clear();
    bootBuf_.clear();
}

void Unit::PowerCycle(TimePoint) { PowerOn(false); }

bool Unit::BootCodeHears(int baud) const {
    if (locked_ != 0) return baud == locked_;
    // The boot code loaded by the bootstrap runs at 38400 only; the resident one finds the speed
    // from the "U" stream, which is why the program sends U rather than anything else.
    return factory_ ? baud == 38400 : IsBootSpeed(baud);
}

// ---- the byte dispatcher ---------------------------------------------------------------------

void Unit::Byte(unsigned char c, int baud, TimePoint now) {
    switch (state_) {
    case State::Off:
        if (!BootCodeHears(baud) || c != 'U') return;  // garbage or a speed it cannot lock to
        locked_ = baud;
        ++wakeups_;
        if (wakeups_ == opt_.wakeAfter) {
            state_ = State::Ready;
            line_.clear();
            SendLine("READY", now);
            if (opt_.invalidStart) SendLine("INVALID START", now);
        }
        return;

    case State::Ready:
        if (baud != locked_) return;
        if (c == '\r') {
            std::string line;
            line.swap(line_);
            ReadyLine(line, now);
        } else if (c != '\n') {
            if (line_.size() >= kMaxLine) {
                Error("overlong command line");
                line_.clear();
            }
            line_.push_back(static_cast<char>(c));
        }
        return;

    case State::Erasing:
        return;  // busy erasing, deaf to the line

    case State::Transfer:
        if (baud != locked_) return;
        TransferByte(c, now);
        return;

    case State::App:
        // The application does not hear the boot code's wake-up: a unit that took its upload
        // answers again only once it has been switched off and on.
        if (baud != kAppSpeed) return;
        if (c == '\r') {
            std::string line;
            line.swap(line_);
            AppLine(line, now);
        } else if (c != '\n') {
            if (line_.size() >= kMaxLine) {
                Error("overlong query line");
                line_.clear();
            }
            line_.push_back(static_cast<char>(c));
        }
        return;

    case State::Restarting:
    case State::Done:
        return;  // restarting into the application, or the factory boot code's job done

    case State::Failed:
    case State::Halted:
        if (IsBootSpeed(baud) && c == 'U') break;
        return;

    case State::Bootstrap:
        if (baud != kBootstrapSpeed) return;
        BootstrapByte(c, now);
        return;
    }

    // The program is waking the boot code again, so the operator has switched the unit off and on
    // (without jumpers). This "U" is the first one the fresh boot code hears.
    PowerOn(false);
    Byte(c, baud, now);
}

// ---- block dialogue ---------------------------------------------------------------------------

void Unit::ReadyLine(const std::string& line, TimePoint now) {
    // U's still in flight when READY went out arrive ahead of the command.
    size_t start = line.find_first_not_of(std::string("U\0", 2));
    std::string command = start == std::string::npos ? std::string() : line.substr(start);
    if (command == "GO") {
        StartErase(now);
    } else if (!command.empty()) {
        Error("unknown command \"" + command + "\"");
    }
}

void Unit::StartErase(TimePoint now) {
    state_ = State::Erasing;
    flash_.assign(factory_ ? kFactoryFlash : kMainFlash, 0xFF);
    blocks_ = resends_ = duplicates_ = 0;
    written_.clear();
    received_ = TSha256();
    block_.clear();
    resendDone_ = silentDone_ = baseIndexDone_ = false;
    if (!opt_.noErasing) SendLine("ERASING...", now);
    Schedule(now + std::chrono::milliseconds(opt_.eraseMs), [this](TimePoint t) { EraseDone(t); });
}

void Unit::EraseDone(TimePoint now) {
    if (opt_.eraseError && !eraseErrorDone_) {
        eraseErrorDone_ = true;
        SendLine("ERASE ERROR: 0003", now);
        SendLine("BLOCK 0003 BAD", now);
    }
    if (opt_.eraseTimeout) {
        SendLine("ERASE BLOCK TIMEOUT: 0005", now);
        state_ = State::Halted;
        return;
    }
    if (opt_.noEraseComplete) return;  // stuck in the erase
    SendLine("ERASE COMPLETE", now);
    state_ = State::Transfer;
    lastByte_ = now;
    SendLine("SEND BLOCK", now);
}

void Unit::TransferByte(unsigned char c, TimePoint now) {
    block_.push_back(static_cast<char>(c));
    // "UPLOAD DONE" CR cannot be the start of a good block (U is not a hex digit), so a block
    // buffer that spells it is the command.
    if (kUploadDone.compare(0, block_.size(), block_) == 0) {
        if (block_.size() == kUploadDone.size()) {
            block_.clear();
            UploadDone(now);
        }
        return;
    }
    if (block_.size() == kBlockSize) {
        std::string block;
        block.swap(block_);
        HandleBlock(block, now);
    }
}

void Unit::HandleBlock(const std::string& b, TimePoint now) {
    uint32_t address = 0;
    bool hexOk = true;
    for (int i = 0; i < 6; ++i) {
        int d = HexDigit(b[i]);
        if (d < 0) hexOk = false;
        address = address * 16 + static_cast<uint32_t>(std::max(d, 0));
    }
    const bool again = hexOk && written_.count(address) != 0;
    const int number = again ? 0 : blocks_ + 1;  // place of a new block in this upload

    if (opt_.failAt != 0 && number == opt_.failAt && (!failDone_ || opt_.failEveryUnit)) {
        failDone_ = true;
        SendLine("UPLOAD FAILED", now);
        state_ = State::Failed;
        return;
    }
    if (opt_.muteAt != 0 && (muted_ || number == opt_.muteAt)) {
        muted_ = true;
        return;
    }
    if (opt_.silentAfter != 0 && number == opt_.silentAfter && !silentDone_) {
        silentDone_ = true;
        return;
    }
    auto resend = [&] {
        ++resends_;
        SendLine("RESEND BLOCK", now);
    };
    if (opt_.resendForever != 0 && number == opt_.resendForever) {
        resend();
        return;
    }
    if (opt_.resendAt != 0 && number == opt_.resendAt && !resendDone_) {
        resendDone_ = true;
        resend();
        return;
    }

    unsigned sum = 0;
    for (size_t i = 0; i < kBlockSize - 1; ++i) sum += static_cast<unsigned char>(b[i]);
    std::string fault;
    if (!hexOk)
        fault = "block address \"" + b.substr(0, 6) + "\" is not upper-case hexadecimal";
    else if (static_cast<uint64_t>(address) + 128 > flash_.size())
        fault = "block address " + b.substr(0, 6) + " beyond the flash";
    else if ((sum & 0xFF) != static_cast<unsigned char>(b[kBlockSize - 1]))
        fault = "block " + b.substr(0, 6) + " has a wrong checksum";
    if (!fault.empty()) {
        Error(fault);
        resend();
        return;
    }

    std::copy(b.begin() + 6, b.begin() + 134, flash_.begin() + address);
    if (again) {
        ++duplicates_;
    } else {
        written_.insert(address);
        received_.Update(b);
        ++blocks_;
    }
    if (opt_.vanishAfter != 0 && number == opt_.vanishAfter) {
        vanish_ = true;
        return;
    }
    if (opt_.baseIndexAt != 0 && number == opt_.baseIndexAt && !baseIndexDone_) {
        baseIndexDone_ = true;
        SendLine("BLOCK BASE INDEX: 0001", now);
        return;
    }
    SendLine("SEND BLOCK", now);
}

void Unit::UploadDone(TimePoint now) {
    ++uploads_;
    reportRequested_ = true;
    TimePoint said = now;
    if (!opt_.noThankYou) said = SendLine("THANK YOU", now);
    if (factory_) {
        // The factory boot code has done its one job; it waits for the power to go off.
        state_ = State::Done;
        return;
    }
    state_ = State::Restarting;
    Schedule(said + std::chrono::milliseconds(opt_.restartMs), [this](TimePoint up) {
        state_ = State::App;
        line_.clear();
        if (opt_.powerCycleAfterMs < 0) return;
        // A line's next unit for demonstrations: the board is taken out once it is done, which is
        // after its last answer; a program that asks nothing within its verification's wait is
        // done with it at its restart.
        const TimePoint asked = up + std::chrono::milliseconds(opt_.verifyWaitMs);
        const unsigned dialogue = ++dialogues_;
        Schedule(asked, [this, up, dialogue](TimePoint) {
            if (dialogue == dialogues_) PowerCycleFrom(up);
        });
    });
}

// The power goes off `--power-cycle-after` after `from`, unless another answer comes first.
void Unit::PowerCycleFrom(TimePoint from) {
    const unsigned dialogue = ++dialogues_;
    Schedule(from + std::chrono::milliseconds(opt_.powerCycleAfterMs), [this, dialogue](TimePoint) {
        if (dialogue == dialogues_) PowerOn(false);
    });
}

void Unit::AppLine(const std::string& line, TimePoint now) {
    size_t lt = line.find('<');
    size_t slash = line.find('/', lt == std::string::npos ? 0 : lt);
    if (lt == std::string::npos || slash == std::string::npos) {
        if (!line.empty()) Error("query without address: \"" + line + "\"");
        return;
    }
    const std::string address = line.substr(lt + 1, slash - lt - 1);
    const std::string command = line.substr(slash + 1);
    if (address != "0000") return;  // another unit on the bus
    if (command == "SWR?") {
        ++swrQueries_;
        if (!opt_.noSwr) Answered(SendLine(">0000/SWR=1.01", now));
    } else if (command == "FCS?") {
        ++fcsQueries_;
        unsigned main = FlashChecksum() + (opt_.wrongChecksum ? 1u : 0u);
        if (!opt_.noFcs) Answered(SendLine(">0000/FCS=Boot:1A2B Main:" + HexText(main, 4), now));
    } else {
        Error("unknown query \"" + command + "\"");
    }
}

void Unit::Answered(TimePoint said) {
    if (opt_.powerCycleAfterMs >= 0) PowerCycleFrom(said);
}

uint16_t Unit::FlashChecksum() const {
    uint32_t sum = 0;
    for (uint8_t b : flash_) sum += b;
    return static_cast<uint16_t>(sum & 0xFFFF);
}

// ---- C161 bootstrap loader --------------------------------------------------------------------

void Unit::EnterBootstrap() {
    ++epoch_;
    state_ = State::Bootstrap;
    bootStage_ = BootStage::Ident;
    bootBuf_.clear();
    bootRecords_ = bootBytes_ = badAcksGiven_ = 0;
    linearBase_ = 0;
    bootMemory_.clear();
    line_.clear();
    block_.clear();
    locked_ = 0;
}

void Unit::BootstrapByte(unsigned char c, TimePoint now) {
    auto ident = [&] {
        if (!opt_.noIdent) SendRaw(std::string(1, static_cast<char>(opt_.ident)), now);
    };
    switch (bootStage_) {
    case BootStage::Ident:
        if (c != 0x00) {
            Error("bootstrap expected the zero byte");
            return;
        }
        ident();
        bootStage_ = BootStage::Loader1;
        return;

    case BootStage::Loader1: {
        // The program repeats the zero byte until it hears the identification; a zero where
        // Loader 1 should begin (its first byte is 0xE6) is such a repeat.
        if (bootBuf_.empty() && c == 0x00) {
            ident();
            return;
        }
        bootBuf_.push_back(static_cast<char>(c));
        if (bootBuf_.size() < Loader1().size()) return;
        const bool good = bootBuf_ == Loader1();
        bootBuf_.clear();
        if (!good) {
            Error("Loader 1 differs");
            SendRaw(std::string(1, '\0'), now);
        } else if (opt_.loader1Bad) {
            SendRaw(std::string(1, '\0'), now);
        } else if (!opt_.loader1Silent) {
            SendRaw("\x22", now);
            bootStage_ = BootStage::Loader2;
        }
        return;
    }

    case BootStage::Loader2: {
        bootBuf_.push_back(static_cast<char>(c));
        if (bootBuf_.size() < Loader2().size()) return;
        const bool good = bootBuf_ == Loader2();
        bootBuf_.clear();
        if (!good) {
            Error("Loader 2 differs");
            SendRaw(std::string(1, '\0'), now);
        } else if (opt_.loader2Bad) {
            SendRaw(std::string(1, '\0'), now);
        } else if (!opt_.loader2Silent) {
            SendRaw("U", now);
            bootStage_ = BootStage::Records;
        }
        return;
    }

    case BootStage::Records: {
        bootBuf_.push_back(static_cast<char>(c));
        size_t need = 0;
        switch (static_cast<unsigned char>(bootBuf_[0])) {
        case 0x00:
            need = bootBuf_.size() < 2 ? 2 : 4 + static_cast<unsigned char>(bootBuf_[1]);
            break;
        case 0x04: need = 2; break;
        case 0x01: need = 1; break;
        default:
            Error("bootstrap record of unknown type");
            bootBuf_.clear();
            return;
        }
        if (bootBuf_.size() < need) return;
        std::string record;
        record.swap(bootBuf_);
        HandleRecord(record, now);
        return;
    }
    }
}

void Unit::HandleRecord(const std::string& r, TimePoint now) {
    const int number = bootRecords_ + 1;  // the program moves on only after a right answer
    const unsigned char type = static_cast<unsigned char>(r[0]);
    if (type == 0x01) {
        // The end record needs no answer: the loader jumps to the boot code at once.
        ++bootRecords_;
        bootBytes_ += 1;
        RunBootCode();
        return;
    }
    unsigned sum = 0;
    for (unsigned char b : r) sum += b;
    const unsigned char ack = static_cast<unsigned char>(0x100 - (sum & 0xFF));
    if (opt_.recordSilent != 0 && number == opt_.recordSilent) return;
    if (opt_.badAckRecord != 0 && number == opt_.badAckRecord && badAcksGiven_ < opt_.badAckTimes) {
        ++badAcksGiven_;
        SendRaw(std::string(1, static_cast<char>(ack + 1)), now);
        return;
    }
    SendRaw(std::string(1, static_cast<char>(ack)), now);
    ++bootRecords_;
    bootBytes_ += static_cast<int>(r.size());
    if (type == 0x04) {
        linearBase_ = static_cast<uint32_t>(static_cast<unsigned char>(r[1])) << 16;
    } else {
        const uint32_t offset = (static_cast<uint32_t>(static_cast<unsigned char>(r[2])) << 8) |
                                static_cast<unsigned char>(r[3]);
        for (size_t i = 4; i < r.size(); ++i)
            bootMemory_[linearBase_ + offset + static_cast<uint32_t>(i - 4)] = static_cast<uint8_t>(r[i]);
    }
}

void Unit::RunBootCode() {
    // Keep the bootstrap's counts for the report; the boot code starts afresh at 38400.
    const int records = bootRecords_, bytes = bootBytes_;
    PowerOn(true);
    bootRecords_ = records;
    bootBytes_ = bytes;
}

// ---- report -----------------------------------------------------------------------------------

std::string Unit::StateName() const {
    switch (state_) {
    case State::Off: return "off";
    case State::Ready: return "ready";
    case State::Erasing: return "erasing";
    case State::Transfer: return "transfer";
    case State::Restarting: return "restarting";
    case State::App: return "app";
    case State::Failed: return "failed";
    case State::Halted: return "halted";
    case State::Done: return "done";
    case State::Bootstrap: return "bootstrap";
    }
    return "?";
}

std::string Unit::ReportText(const std::string& flashFile) const {
    std::string speeds;
    for (int s : speeds_) speeds += (speeds.empty() ? "" : ",") + std::to_string(s);
    uint32_t bootSum = 0;
    for (const auto& [address, value] : bootMemory_) bootSum += value;
    const char* stages[] = {"ident", "loader1", "loader2", "records"};
    std::string t;
    auto put = [&](const std::string& key, const std::string& value) { t += key + "=" + value + "\n"; };
    put("state", VanishRequested() ? "vanished" : StateName());
    put("uploads", std::to_string(uploads_));
    put("blocks", std::to_string(blocks_));
    put("resends", std::to_string(resends_));
    put("duplicates", std::to_string(duplicates_));
    // What the last upload brought, each block once: a test compares it with the record's upload_sha256.
    put("upload_sha256", received_.HexDigest());
    put("speeds", speeds);
    put("flash_size", std::to_string(flash_.size()));
    put("flash_checksum", HexText(FlashChecksum(), 4));
    put("flash_file", flashFile);
    put("wakeups", std::to_string(wakeups_));
    put("swr_queries", std::to_string(swrQueries_));
    put("fcs_queries", std::to_string(fcsQueries_));
    put("bootstrap_stage", state_ == State::Bootstrap ? stages[static_cast<int>(bootStage_)] : "-");
    put("bootstrap_records", std::to_string(bootRecords_));
    put("bootstrap_bytes", std::to_string(bootBytes_));
    put("bootstrap_data", std::to_string(bootMemory_.size()));
    put("bootstrap_sum", HexText(bootSum, 4));
    put("factory", factory_ ? "1" : "0");
    put("errors", std::to_string(errors_));
    put("last_error", lastError_);
    put("seed", std::to_string(seed_));
    return t;
}
