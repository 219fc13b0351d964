// SHA-256 of a byte string, as lower-case hexadecimal: what the result and the record name a
// firmware file by, so that two stations can tell they loaded the same image.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The digest of bytes given piece by piece, as a file is read.
class TSha256 {
public:
    TSha256();
    void Update(std::string_view bytes);
    std::string HexDigest() const;

private:
    std::array<uint32_t, 8> h_;
    unsigned char block_[64] = {};
    size_t buffered_ = 0;
    uint64_t length_ = 0;
};

std::string Sha256Hex(std::string_view bytes);
