#include "base/Hex.h"

#include "base/RunError.h"

namespace {

struct THexDigits {
    int8_t value[256];
    constexpr THexDigits() : value() {
        for (int i = 0; i < 256; ++i) value[i] = -1;
        for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<int8_t>(i);
        for (int i = 0; i < 6; ++i) {
            value['A' + i] = static_cast<int8_t>(10 + i);
            value['a' + i] = static_cast<int8_t>(10 + i);
        }
    }
};
constexpr THexDigits kDigits;
constexpr char kUpper[] = "0123456789ABCDEF";

}  // namespace

int HexDigitValue(char c) { return kDigits.value[static_cast<unsigned char>(c)]; }

unsigned long HexValue(std::string_view digits) {
    auto bad = [&] { return EConvertError("'" + std::string(digits) + "' is not a valid hexadecimal number"); };
    if (digits.empty() || digits.size() > 16) throw bad();
    unsigned long v = 0;
    for (char c : digits) {
        const int d = HexDigitValue(c);
        if (d < 0) throw bad();
        v = v * 16 + static_cast<unsigned long>(d);
    }
    return v;
}

std::string HexText(uint64_t value, int width) {
    std::string s(static_cast<size_t>(width), '0');
    for (int i = width - 1; i >= 0; --i, value >>= 4) s[static_cast<size_t>(i)] = kUpper[value & 0xF];
    return s;
}

std::string HexOfBytes(std::string_view bytes) {
    std::string s;
    s.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        s += kUpper[b >> 4];
        s += kUpper[b & 0xF];
    }
    return s;
}

std::string BytesOfHex(std::string_view text) {
    if (text.size() % 2 != 0) throw EConvertError("'" + std::string(text) + "' is not a valid hexadecimal number");
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) bytes += static_cast<char>(HexValue(text.substr(i, 2)));
    return bytes;
}
