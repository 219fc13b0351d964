#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace {

// Accepts decimal and 0x-prefixed hexadecimal (the identification byte is usually given in hex).
bool ToNumber(const std::string& text, long long lo, long long hi, long long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

}  // namespace

const std::vector<TSwitchHelp>& SwitchHelp() {
    static const std::vector<TSwitchHelp> help = {
        {"--dir DIR", "folder that gets the COM link (default: the folder of this program when no other user "
                      "can write to it and it is not an installed program, else ~/.local/share/zupflshc)"},
        {"--port N", "make the terminal COM N, 1 to 99 (default 1)"},
        {"--report FILE", "write a report of what the unit saw to FILE (and its flash to FILE.flash) after "
                          "each upload and on SIGUSR1"},
        {"--wake-after N", "the wake-up characters the boot code needs before it answers READY (default 3)"},
        {"--erase-ms MS", "time the erase takes (default 0)"},
        {"--restart-ms MS", "time from THANK YOU until the application answers (default 1500)"},
        {"--block-gap-ms MS", "silence after which a partial block is thrown away (default 500)"},
        {"--slow MS", "extra delay before each line or reply"},
        {"--pace", "send at the line's real byte rate"},
        {"--reply-latency MS", "hold each reply MS after it has crossed the line before the program can read "
                               "it, as a USB adapter's latency timer does (an FTDI chip's is 16 by default)"},
        {"--power-cycle-after MS", "after an upload, switch off and on by itself MS after its last answer to "
                                   "the program, or after the application came up when nothing is asked within "
                                   "the --verify-wait (a line's next unit, for demonstrations); without it only "
                                   "SIGUSR2 does, and until then the unit does not answer the boot code's wake-up"},
        {"--verify-wait MS", "with --power-cycle-after: how long after the application came up the program's "
                             "first question is waited for (default 8000; the program asks 4.5 s after THANK YOU)"},
        {"--erase-error", "report an erase error (and its bad block) once, then complete the erase"},
        {"--erase-timeout", "report an erase block timeout and halt"},
        {"--no-erasing", "never say ERASING..."},
        {"--no-erase-complete", "never finish the erase"},
        {"--resend-at N", "ask for block N once more"},
        {"--fail-at N", "report UPLOAD FAILED at block N"},
        {"--fail-every-unit", "with --fail-at: every upload fails there, not only the first (a worn socket)"},
        {"--base-index-at N", "answer block N with a base index line"},
        {"--invalid-start", "follow READY with INVALID START"},
        {"--silent-after N", "say nothing after block N, once"},
        {"--resend-forever N", "ask for block N again every time it comes"},
        {"--mute-at N", "from block N on, answer nothing at all"},
        {"--no-thank-you", "never say THANK YOU"},
        {"--wrong-checksum", "report a memory checksum one more than the flash's"},
        {"--no-swr", "never answer SWR?"},
        {"--no-fcs", "never answer FCS?"},
        {"--noise", "put line noise before every line"},
        {"--seed S", "the noise's random seed"},
        {"--vanish-after N", "end after block N, as an adapter pulled out"},
        {"--idle-noise MS", "while switched off, a burst of noise bytes every MS milliseconds (an idle line)"},
        {"--no-ident", "the bootstrap loader never sends its identification byte"},
        {"--ident BYTE", "the identification byte (default 213, 0xD5)"},
        {"--loader1-silent", "never acknowledge the first loader"},
        {"--loader1-bad", "acknowledge the first loader wrongly"},
        {"--loader2-silent", "never acknowledge the second loader"},
        {"--loader2-bad", "acknowledge the second loader wrongly"},
        {"--bad-ack-record N", "acknowledge bootstrap record N wrongly"},
        {"--bad-ack-times K", "with --bad-ack-record: that many times (default 1)"},
        {"--record-silent N", "never acknowledge bootstrap record N"},
        {"--exit-with-parent", "end when the process that started it ends"},
        {"-h, --help", "show this help and exit"},
    };
    return help;
}

std::string UsageText(const std::string& name) {
    constexpr size_t kIndent = 26, kWidth = 79;
    std::string out = "usage: " + name + " [SWITCHES]\n"
                      "A simulated Norvane MXR-2 on a pseudo-terminal, linked as DIR/COM<N>.\n\n";
    for (const TSwitchHelp& h : SwitchHelp()) {
        std::string line = "  " + std::string(h.Switch);
        line.resize(std::max(line.size() + 1, kIndent), ' ');
        bool empty = true;
        std::istringstream words(h.Text);
        for (std::string word; words >> word;) {
            if (!empty && line.size() + 1 + word.size() > kWidth) {
                out += line + "\n";
                line.assign(kIndent, ' ');
                empty = true;
            }
            line += (empty ? "" : " ") + word;
            empty = false;
        }
        out += line + "\n";
    }
    return out + "\nSignals: SIGUSR1 writes the report and prints \"report\"; SIGUSR2 switches the unit off\n"
                 "and on and prints \"power\"; SIGTERM and SIGINT end it.\n";
}

namespace {

struct IntSwitch {
    int* target;
    long long lo, hi;
};

// The switches that set one field of `o`: on/off, a number in its range, a text.
struct TSwitchTables {
    std::map<std::string, bool*> flags;
    std::map<std::string, IntSwitch> ints;
    std::map<std::string, std::string*> texts;
};

TSwitchTables Switches(SimOptions& o) {
    TSwitchTables t;
    t.flags = {
        {"--pace", &o.pace},
        {"--fail-every-unit", &o.failEveryUnit},
        {"--erase-error", &o.eraseError},
        {"--erase-timeout", &o.eraseTimeout},
        {"--no-erasing", &o.noErasing},
        {"--no-erase-complete", &o.noEraseComplete},
        {"--invalid-start", &o.invalidStart},
        {"--no-thank-you", &o.noThankYou},
        {"--wrong-checksum", &o.wrongChecksum},
        {"--no-swr", &o.noSwr},
        {"--no-fcs", &o.noFcs},
        {"--noise", &o.noise},
        {"--no-ident", &o.noIdent},
        {"--loader1-silent", &o.loader1Silent},
        {"--loader1-bad", &o.loader1Bad},
        {"--loader2-silent", &o.loader2Silent},
        {"--loader2-bad", &o.loader2Bad},
        {"--exit-with-parent", &o.exitWithParent},
    };
    constexpr long long kMaxMs = 3600LL * 1000;
    t.ints = {
        {"--port", {&o.port, 1, 99}},
        {"--wake-after", {&o.wakeAfter, 1, 1000000}},
        {"--erase-ms", {&o.eraseMs, 0, kMaxMs}},
        {"--restart-ms", {&o.restartMs, 0, kMaxMs}},
        {"--block-gap-ms", {&o.blockGapMs, 1, kMaxMs}},
        {"--slow", {&o.slowMs, 0, kMaxMs}},
        {"--reply-latency", {&o.replyLatencyMs, 0, 1000}},
        {"--power-cycle-after", {&o.powerCycleAfterMs, 0, kMaxMs}},
        {"--verify-wait", {&o.verifyWaitMs, 0, kMaxMs}},
        {"--resend-at", {&o.resendAt, 1, 1 << 30}},
        {"--fail-at", {&o.failAt, 1, 1 << 30}},
        {"--base-index-at", {&o.baseIndexAt, 1, 1 << 30}},
        {"--silent-after", {&o.silentAfter, 1, 1 << 30}},
        {"--resend-forever", {&o.resendForever, 1, 1 << 30}},
        {"--mute-at", {&o.muteAt, 1, 1 << 30}},
        {"--vanish-after", {&o.vanishAfter, 1, 1 << 30}},
        {"--idle-noise", {&o.idleNoiseMs, 1, kMaxMs}},
        {"--ident", {&o.ident, 0, 255}},
        {"--bad-ack-record", {&o.badAckRecord, 1, 1 << 30}},
        {"--bad-ack-times", {&o.badAckTimes, 0, 1 << 30}},
        {"--record-silent", {&o.recordSilent, 1, 1 << 30}},
    };
    t.texts = {
        {"--dir", &o.dir},
        {"--report", &o.report},
    };
    return t;
}

}  // namespace

bool ParseOptions(int argc, char** argv, SimOptions& o, std::string& error) {
    const TSwitchTables tables = Switches(o);
    const auto& flags = tables.flags;
    const auto& ints = tables.ints;
    const auto& texts = tables.texts;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        auto takeValue = [&](std::string& out) {
            if (inlineValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (auto f = flags.find(arg); f != flags.end()) {
            if (inlineValue) {
                error = arg + " takes no value";
                return false;
            }
            *f->second = true;
        } else if (auto n = ints.find(arg); n != ints.end()) {
            std::string text;
            long long v = 0;
            if (!takeValue(text)) return false;
            if (!ToNumber(text, n->second.lo, n->second.hi, v)) {
                error = "bad number for " + arg + ": \"" + text + "\"";
                return false;
            }
            *n->second.target = static_cast<int>(v);
        } else if (auto t = texts.find(arg); t != texts.end()) {
            if (!takeValue(*t->second)) return false;
            if (t->second->empty()) {
                error = arg + " needs a non-empty value";
                return false;
            }
        } else if (arg == "--seed") {
            std::string text;
            long long v = 0;
            if (!takeValue(text)) return false;
            if (!ToNumber(text, 0, (1LL << 62), v)) {
                error = "bad number for --seed: \"" + text + "\"";
                return false;
            }
            o.seed = static_cast<uint64_t>(v);
            o.seedGiven = true;
        } else if (arg == "--help" || arg == "-h") {
            error = "help";
            return false;
        } else {
            error = "unknown switch " + arg;
            return false;
        }
    }
    return true;
}
