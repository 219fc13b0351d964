#include "driver/UnitIds.h"

#include "base/ShownText.h"

namespace {

constexpr size_t kMaxIdCharacters = 128;

// The code point of the UTF-8 sequence at `at` (already known valid), and its length.
char32_t CodePointAt(const std::string& text, size_t at, size_t& length) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return length = 1, lead;
    if (lead < 0xE0) return length = 2, char32_t(lead & 0x1F) << 6 | (byte(1) & 0x3F);
    if (lead < 0xF0) return length = 3, char32_t(lead & 0x0F) << 12 | char32_t(byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
    length = 4;
    return char32_t(lead & 0x07) << 18 | char32_t(byte(1) & 0x3F) << 12 | char32_t(byte(2) & 0x3F) << 6 |
           (byte(3) & 0x3F);
}

// Characters that show nothing or break a line: zero-width spaces and joiners, direction marks and
// embeddings, the line and paragraph separators, invisible operators, the soft hyphen, the BOM.
bool Invisible(char32_t c) {
    return c == 0x00AD || c == 0x034F || c == 0x061C || c == 0x115F || c == 0x1160 || c == 0x180E ||
           (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) ||
           c == 0x3164 || c == 0xFEFF || c == 0xFFA0 || (c >= 0xFFF0 && c <= 0xFFFB) || (c >= 0xE0000 && c <= 0xE0FFF);
}

}  // namespace

std::string UnitIdRefusal(const std::string& id) {
    const std::string refused = "unit id '" + ShownText(id) + "' refused: at most 128 printable characters";
    // Control characters and bytes that are not UTF-8 are what ShownText shows otherwise.
    if (ShownText(id) != id) return refused;
    size_t characters = 0;
    for (size_t at = 0, length = 0; at < id.size(); at += length, ++characters)
        if (Invisible(CodePointAt(id, at, length))) return refused;
    if (characters > kMaxIdCharacters) return refused;
    return std::string();
}
