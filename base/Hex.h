// The one hexadecimal encoder and decoder: block addresses, checksums, HEX records and the
// bootstrap loader's bytes all go through here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Value of one hexadecimal digit (either case), -1 for any other byte.
int HexDigitValue(char c);
// Value of a text of 1 to 16 hexadecimal digits (either case); throws EConvertError otherwise.
unsigned long HexValue(std::string_view digits);
// `value` as exactly `width` upper-case digits (the low 4*width bits).
std::string HexText(uint64_t value, int width);
// Each byte as two upper-case digits.
std::string HexOfBytes(std::string_view bytes);
// The bytes that pairs of digits stand for; throws EConvertError on a bad pair or an odd length.
std::string BytesOfHex(std::string_view text);
