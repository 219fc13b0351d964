// Building the upload block file from any image: one block per chunk that is not all 0xFF, in
// address order, each with its address, its 128 bytes and its sum; then the 16-bit sum of every
// image byte. Reading the file back block by block, or whole, gives the same blocks, and so does
// the upload made in memory.
#include <cstdint>
#include <cstring>
#include <string>

#include "base/Hex.h"
#include "firmware/BinaryImage.h"
#include "firmware/UploadFile.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input is the image's start; the rest of a 64 KiB image stays erased. Short inputs are
    // spread over the image by the first byte, so blocks far apart are met too.
    constexpr int chunks = 512;
    const size_t imageSize = chunks * 128;
    const size_t at = size > 0 ? (data[0] * 257u) % imageSize : 0;
    const auto dir = fuzz::Scratch().Path();
    TBinaryImage image;
    image.EmptyBinaryFile((dir / "b.BIN").string(), chunks);
    image.Write(at, data, size);
    const std::vector<uint8_t>& bytes = image.Bytes();

    const std::string zup = (dir / "b.ZUP").string();
    const TBuildResult r = BuildUploadFile(image, zup);

    std::string want;
    unsigned sum = 0;
    for (size_t c = 0; c < chunks; ++c) {
        const uint8_t* chunk = bytes.data() + c * 128;
        bool blank = true;
        for (int k = 0; k < 128; ++k) {
            sum += chunk[k];
            blank &= chunk[k] == 0xFF;
        }
        if (blank) continue;
        std::string block = HexText(c * 128, 6) + std::string(reinterpret_cast<const char*>(chunk), 128);
        uint8_t s = 0;
        for (char b : block) s = static_cast<uint8_t>(s + static_cast<uint8_t>(b));
        want += block + static_cast<char>(s);
    }
    want += HexText(sum & 0xFFFF, 4);
    FUZZ_CHECK(r.Checksum == want.substr(want.size() - 4));
    FUZZ_CHECK(static_cast<size_t>(r.BlockCount) * BlockSize + 4 == want.size());

    TZupFile file;
    file.Open(zup);
    FUZZ_CHECK(file.BlockCount() == r.BlockCount);
    std::string got, block;
    while (file.ReadBlock(block)) {
        FUZZ_CHECK(BlockChecksum(reinterpret_cast<const uint8_t*>(block.data())) ==
                   static_cast<uint8_t>(block[BlockSize - 1]));
        got += block;
    }
    got += file.ReadFileChecksum();
    FUZZ_CHECK(got == want);

    const TUploadImage made = MakeUploadImage(image), read = ReadUploadFile(zup);
    FUZZ_CHECK(made.Blocks == read.Blocks && made.Checksum == read.Checksum);
    FUZZ_CHECK(made.Blocks.size() == static_cast<size_t>(r.BlockCount) && made.Checksum == r.Checksum);
    return 0;
}
