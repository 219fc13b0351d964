#include "base/Hex.h"

#include "base/RunError.h"

namespace {

constexpr char kUpper[] = "0123456789ABCDEF";

}  // namespace

std::string PrintableText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x20 || c >= 0x7F) {
            out += '<';
            out += kUpper[c >> 4];
            out += kUpper[c & 0xF];
            out += '>';
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

unsigned long HexValue(std::string_view digits) {
    auto bad = [&] { return EConvertError("'" + PrintableText(digits) + "' is not a valid hexadecimal number"); };
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
    if (text.size() % 2 != 0) throw EConvertError("'" + PrintableText(text) + "' is not a valid hexadecimal number");
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) bytes += static_cast<char>(HexValue(text.substr(i, 2)));
    return bytes;
}
