// SHA-256 of a byte string, as lower-case hexadecimal: what the result and the record name a
// firmware file by, so that two stations can tell they loaded the same image.
#pragma once

#include <string>
#include <string_view>

std::string Sha256Hex(std::string_view bytes);
