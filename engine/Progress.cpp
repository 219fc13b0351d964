#include "engine/Progress.h"

#include "base/Hex.h"

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

// Factor of the estimate in tenths, so that the arithmetic stays exact.
int64_t FactorTenths(int baudrate) {
    switch (baudrate) {
    case 1200: return 100;
    case 2400: return 50;
    case 4800: return 30;
    case 9600: return 20;
    case 19200: return 15;
    case 38400: return 11;
    case 57600: return 10;
    default: return 30;
    }
}

// The decimal separator of the locale the program runs in, read at every call so that a change of
// locale after start-up is followed.
std::string DecimalSeparator() {
    const std::lconv* lc = std::localeconv();
    if (lc && lc->decimal_point && *lc->decimal_point) return lc->decimal_point;
    return ".";
}

// M = quarters / 4 minutes, written with at most two significant digits, halves rounded up, no
// trailing zeros. Below 10 minutes one decimal is possible ("2.8"); from 10 on whole minutes; from
// 99.5 on the value is rounded to two significant digits and written out in full ("210") rather
// than in the exponent form a general number format would switch to, which an operator would not
// read as minutes.
std::string QuartersText(int64_t quarters) {
    if (quarters < 40) {
        const int64_t tenths = (quarters * 10 + 2) / 4;  // half up
        std::string s = std::to_string(tenths / 10);
        if (tenths % 10 != 0) s += DecimalSeparator() + std::to_string(tenths % 10);
        return s;
    }
    int64_t scale = 1;  // minutes per unit of the last significant digit
    while ((quarters + 2 * scale) / (4 * scale) >= 100) scale *= 10;
    return std::to_string((quarters + 2 * scale) / (4 * scale) * scale);
}

}  // namespace

std::string EstimateText(int blockCount, int baudrate) {
    const int64_t blocks = blockCount > 0 ? blockCount : 0;
    // Q = blocks * F * 2 / 487 rounded to the nearest whole number. With F in tenths this is
    // blocks * F10 / 2435; a tie would need blocks * F10 * 2 to be an odd multiple of 2435, which
    // an even number never is, so half-to-even and half-up rounding agree and no tie rule is needed.
    const int64_t num = blocks * FactorTenths(baudrate);
    const int64_t quarters = (2 * num + 2435) / (2 * 2435);
    // M = Q / 4 compared with 0.8 and 1.5: Q < 3.2 and Q < 6.
    if (quarters * 10 < 32) return " less than 1 minute";
    if (quarters < 6) return " about 1 minute";
    return " about " + QuartersText(quarters) + " minutes";
}

std::string ElapsedText(std::chrono::milliseconds elapsed) {
    // Measured on a steady clock, so midnight or a clock set back in between changes nothing.
    if (elapsed.count() <= 0) return "unavailable";
    const int64_t total = elapsed.count() / 1000;
    const int64_t minutes = (total / 60) % 60;  // hours are not shown
    const int64_t secs = total % 60;
    if (minutes != 0) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02d:%02d", static_cast<int>(minutes), static_cast<int>(secs));
        return std::string(buf) + " minutes";
    }
    return std::to_string(secs) + " seconds";
}

double TimeOfDayNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local{};
    localtime_r(&ts.tv_sec, &local);
    const double millis = static_cast<double>(ts.tv_nsec / 1000000);
    const double secondsOfDay = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + millis / 1000.0;
    return secondsOfDay / 86400.0;
}

namespace {

// Bytes from..to of the block (as far as it goes) in upper-case hexadecimal.
std::string UpperHex(const std::string& block, size_t from, size_t to) {
    if (from >= block.size()) return {};
    return HexOfBytes(std::string_view(block).substr(from, to - from));
}

}  // namespace

std::array<std::pair<std::string, std::string>, 3> DumpBlockLines(const std::string& block) {
    // A block is always 135 bytes; a shorter one shows only the bytes it has rather than reading
    // past its end.
    const std::string address = block.substr(0, 6);
    const std::string checksum = UpperHex(block, 134, 135);
    return {{
        {"[info  ]", "  addr " + address + "  cksm " + checksum},
        {"[B0-128]", UpperHex(block, 6, 70)},
        {"[B128+ ]", UpperHex(block, 70, 134)},
    }};
}

std::string BlockProgressText(int sent, int total) {
    return "Sending block " + std::to_string(sent) + " of " + std::to_string(total) + "...";
}
