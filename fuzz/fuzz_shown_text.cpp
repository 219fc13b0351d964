// Any name from outside, through the one escaping for terminals and messages: what comes out holds
// no control character and is valid UTF-8, printable text passes unchanged, and the <XX> forms
// give back the very bytes that went in.
#include <cstdint>
#include <string>

#include "base/ShownText.h"
#include "fuzz/FuzzSupport.h"

namespace {

// Decodes `shown`, taking every <XX> as its byte; only sound for an input without '<'.
std::string Unescape(const std::string& shown) {
    std::string bytes;
    for (size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] == '<' && i + 3 < shown.size() && shown[i + 3] == '>') {
            bytes += static_cast<char>(std::stoi(shown.substr(i + 1, 2), nullptr, 16));
            i += 3;
        } else {
            bytes += shown[i];
        }
    }
    return bytes;
}

// True when `s` is valid UTF-8 with no C0, DEL or C1 control in it.
bool CleanUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) return false;
            ++i;
            continue;
        }
        const size_t n = c >= 0xF5 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (n == 0 || i + n > s.size()) return false;
        unsigned cp = c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = cp << 6 | (t & 0x3F);
        }
        const unsigned min = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp <= 0x9F) return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string shown = ShownText(input);
    FUZZ_CHECK(CleanUtf8(shown));
    FUZZ_CHECK(shown.size() >= input.size() && shown.size() <= 4 * input.size());
    bool printable = true;
    for (unsigned char c : input) printable = printable && c >= 0x20 && c < 0x7F;
    if (printable) FUZZ_CHECK(shown == input);
    if (input.find('<') == std::string::npos) FUZZ_CHECK(Unescape(shown) == input);
    // Escaping twice changes nothing more: the shown form is itself clean text.
    FUZZ_CHECK(ShownText(shown) == shown);
    return 0;
}
