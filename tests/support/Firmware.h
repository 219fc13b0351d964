// Firmware files of our own for end-to-end tests: Intel HEX, binary image and the image itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

struct TestFirmware {
    std::string image;  // 4 MiB, 0xFF where nothing was given
    std::string hex;    // the same as Intel HEX with extended linear address records

    // `chunks` non-blank 128-byte chunks spread over the image (every `stride`-th chunk).
    static TestFirmware Make(int chunks, unsigned seed = 1, int stride = 3) {
        TestFirmware fw;
        fw.image.assign(4u << 20, '\xFF');
        std::mt19937 rng(seed);
        uint32_t lastBase = 0xFFFFFFFF;
        auto rec = [](int type, uint16_t offset, const std::string& data) {
            uint8_t sum = static_cast<uint8_t>(data.size() + (offset >> 8) + (offset & 0xFF) + type);
            char head[16];
            std::snprintf(head, sizeof head, ":%02X%04X%02X", static_cast<unsigned>(data.size()), offset, type);
            std::string line = head;
            for (unsigned char c : data) {
                char b[3];
                std::snprintf(b, sizeof b, "%02X", c);
                line += b;
                sum = static_cast<uint8_t>(sum + c);
            }
            char cs[8];
            std::snprintf(cs, sizeof cs, "%02X\r\n", static_cast<uint8_t>(-sum));
            return line + cs;
        };
        for (int i = 0; i < chunks; ++i) {
            const uint32_t addr = static_cast<uint32_t>(i) * stride * 128;
            for (int r = 0; r < 8; ++r) {
                const uint32_t a = addr + r * 16;
                if ((a >> 16) != lastBase) {
                    lastBase = a >> 16;
                    fw.hex += rec(4, 0, std::string{static_cast<char>(lastBase >> 8), static_cast<char>(lastBase & 0xFF)});
                }
                std::string data(16, '\0');
                for (auto& c : data) c = static_cast<char>(rng() & 0xFF);
                if (r == 0) data[0] = 0x00;  // never a blank chunk
                fw.image.replace(a, 16, data);
                fw.hex += rec(0, static_cast<uint16_t>(a & 0xFFFF), data);
            }
        }
        fw.hex += ":00000001FF\r\n";
        return fw;
    }

    // The 16-bit sum of the whole image as four upper-case hex digits.
    std::string Checksum() const {
        uint32_t s = 0;
        for (unsigned char c : image) s += c;
        char b[8];
        std::snprintf(b, sizeof b, "%04X", s & 0xFFFF);
        return b;
    }
};

// The unit's flash compared with an image, naming the first differing offset rather than
// printing megabytes.
template <class Unit>
::testing::AssertionResult FlashHolds(Unit& sim, const std::string& image) {
    const std::string flash = sim.Flash();
    if (flash.size() != image.size())
        return ::testing::AssertionFailure() << "flash has " << flash.size() << " bytes, image " << image.size();
    if (flash == image) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (flash[i] == image[i]) ++i;
    return ::testing::AssertionFailure() << "the unit's flash differs from the image first at 0x" << std::hex << i;
}
