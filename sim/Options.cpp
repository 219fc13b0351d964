#include "Options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

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

std::string UsageText(const std::string& name) {
    return "usage: " + name + " [--dir DIR] [--port N] [--report FILE] [--wake-after N] [--erase-ms MS]\n"
           "              [--restart-ms MS] [--block-gap-ms MS] [--slow MS] [--pace]\n"
           "              [--power-cycle-after MS]\n"
           "  block dialogue faults: --erase-error --erase-timeout --no-erasing --no-erase-complete\n"
           "              --resend-at N --fail-at N --base-index-at N --invalid-start --silent-after N\n"
           "              --resend-forever N --mute-at N\n"
           "              --no-thank-you --wrong-checksum --no-swr --no-fcs --noise [--seed S]\n"
           "              --vanish-after N\n"
           "  bootstrap faults: --no-ident --ident BYTE --loader1-silent --loader1-bad --loader2-silent\n"
           "              --loader2-bad --bad-ack-record N [--bad-ack-times K] --record-silent N\n"
           "  --exit-with-parent  end when the starting process ends\n"
           "Signals: SIGUSR1 writes the report and prints \"report\"; SIGUSR2 cycles the power and\n"
           "prints \"power\"; SIGTERM/SIGINT end the unit.\n"
           "After an upload the unit runs its application and answers the boot code's wake-up again\n"
           "only once switched off and on: SIGUSR2, or by itself MS after its application came up\n"
           "with --power-cycle-after MS (a line's next unit, for demonstrations).\n";
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
        {"--power-cycle-after", {&o.powerCycleAfterMs, 0, kMaxMs}},
        {"--resend-at", {&o.resendAt, 1, 1 << 30}},
        {"--fail-at", {&o.failAt, 1, 1 << 30}},
        {"--base-index-at", {&o.baseIndexAt, 1, 1 << 30}},
        {"--silent-after", {&o.silentAfter, 1, 1 << 30}},
        {"--resend-forever", {&o.resendForever, 1, 1 << 30}},
        {"--mute-at", {&o.muteAt, 1, 1 << 30}},
        {"--vanish-after", {&o.vanishAfter, 1, 1 << 30}},
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
