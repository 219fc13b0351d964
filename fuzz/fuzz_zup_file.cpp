// An upload block file of any content: every whole 135-byte block is read back exactly as it lies
// in the file, no more blocks than the size allows, and the checksum is the (up to) four bytes
// after the last block. Reading again after Rewind gives the same. Read whole, the file is taken
// exactly when it is whole blocks, each with a right sum, and a 4-byte trailer.
#include <cstdint>
#include <string>

#include "base/RunError.h"
#include "firmware/UploadFile.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string name = (fuzz::Scratch().Path() / "input.ZUP").string();
    fuzz::WriteFile(name, content);

    TZupFile file;
    file.Open(name);
    const size_t blocks = size / BlockSize;
    FUZZ_CHECK(file.BlockCount() == static_cast<int>(blocks));
    for (int pass = 0; pass < 2; ++pass) {
        std::string block;
        size_t read = 0;
        while (file.ReadBlock(block)) {
            FUZZ_CHECK(read < blocks);
            FUZZ_CHECK(block == content.substr(read * BlockSize, BlockSize));
            ++read;
        }
        FUZZ_CHECK(read == blocks);
        const std::string sum = file.ReadFileChecksum();
        FUZZ_CHECK(sum == content.substr(blocks * BlockSize, 4));
        file.Rewind();
    }
    file.Close();
    FUZZ_CHECK(!file.IsOpen());
    std::string block;
    FUZZ_CHECK(!file.ReadBlock(block));
    FUZZ_CHECK(file.ReadFileChecksum().empty());

    bool sound = size >= 4 && (size - 4) % BlockSize == 0;
    for (size_t b = 0; sound && b < blocks; ++b)
        sound = BlockChecksum(data + b * BlockSize) == data[b * BlockSize + BlockSize - 1];
    try {
        const TUploadImage upload = ReadUploadFile(name);
        FUZZ_CHECK(sound && upload.Blocks.size() == blocks && upload.Checksum == content.substr(blocks * BlockSize));
        for (size_t b = 0; b < blocks; ++b) FUZZ_CHECK(upload.Blocks[b] == content.substr(b * BlockSize, BlockSize));
    } catch (const EInOutError&) {
        FUZZ_CHECK(!sound);
    }
    return 0;
}
