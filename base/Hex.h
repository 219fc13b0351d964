// The one hexadecimal encoder and decoder: block addresses, checksums, HEX records and the
// bootstrap loader's bytes all go through here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The value of every byte as a hexadecimal digit (either case), -1 for any other byte. In the
// header so that the Intel HEX reader's inner loop looks a digit up without a call.
struct THexDigitTable {
    int8_t Value[256];
    constexpr THexDigitTable() : Value() {
        for (int i = 0; i < 256; ++i) Value[i] = -1;
        for (int i = 0; i < 10; ++i) Value['0' + i] = static_cast<int8_t>(i);
        for (int i = 0; i < 6; ++i) {
            Value['A' + i] = static_cast<int8_t>(10 + i);
            Value['a' + i] = static_cast<int8_t>(10 + i);
        }
    }
};
inline constexpr THexDigitTable HexDigits;

// Value of one hexadecimal digit (either case), -1 for any other byte.
inline int HexDigitValue(char c) { return HexDigits.Value[static_cast<unsigned char>(c)]; }
// Value of a text of 1 to 16 hexadecimal digits (either case); throws EConvertError otherwise.
unsigned long HexValue(std::string_view digits);
// `value` as exactly `width` upper-case digits (the low 4*width bits).
std::string HexText(uint64_t value, int width);
// `bytes` fit to be quoted in a message: control bytes (CR and LF among them), DEL and every byte
// above 0x7E as <XX>, the rest as they are. A file or a reply may hold anything.
std::string PrintableText(std::string_view bytes);
// Each byte as two upper-case digits.
std::string HexOfBytes(std::string_view bytes);
// The bytes that pairs of digits stand for; throws EConvertError on a bad pair or an odd length.
std::string BytesOfHex(std::string_view text);
