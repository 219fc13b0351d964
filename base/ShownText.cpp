#include "base/ShownText.h"

namespace {

constexpr char kUpper[] = "0123456789ABCDEF";

void Escape(std::string& out, unsigned char c) {
    out += '<';
    out += kUpper[c >> 4];
    out += kUpper[c & 0xF];
    out += '>';
}

// The length of the valid UTF-8 sequence at `p` (at most `left` bytes), 0 when there is none.
// Overlong forms, surrogates and code points past U+10FFFF are not valid.
size_t Utf8Length(const unsigned char* p, size_t left) {
    const unsigned char c = p[0];
    size_t n;
    unsigned min, cp;
    if (c >= 0xC2 && c <= 0xDF) n = 2, min = 0x80, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, min = 0x800, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, min = 0x10000, cp = c & 0x07;
    else return 0;
    if (left < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    if (cp >= 0x80 && cp <= 0x9F) return 0;  // a C1 control: shown byte by byte
    return n;
}

}  // namespace

std::string ShownText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t n = c >= 0x80 ? Utf8Length(p + i, size - i) : 0; n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            Escape(out, c);
            ++i;
        }
    }
    return out;
}
