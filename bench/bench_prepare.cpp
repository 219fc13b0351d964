// Times the preparation of a full 4 MiB Software Upload image: emptying the binary image, Intel HEX
// into the image, the image into its file, and the image into the upload block file. Each step has
// to fit into one 50 ms tick of the sequencer. For scale, GNU objcopy converts the same Intel HEX
// file to a binary (reading, converting and writing, in a process of its own).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "firmware/BinaryImage.h"
#include "firmware/IntelHex.h"
#include "base/RunError.h"
#include "firmware/UploadFile.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRepetitions = 7;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct TempDir {
    fs::path path;
    TempDir() {
        std::string t = (fs::temp_directory_path() / "zupbench-XXXXXX").string();
        if (!::mkdtemp(t.data())) throw std::runtime_error("cannot create a temporary directory");
        path = t;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

void Append(std::string& out, const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    unsigned sum = 0;
    out += ':';
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
        sum += b;
    }
    const uint8_t check = static_cast<uint8_t>(-static_cast<int>(sum & 0xFF));
    out += digits[check >> 4];
    out += digits[check & 15];
    out += "\r\n";
}

// The whole 4 MiB in 16-byte records, a type 04 record before every 64 KiB.
std::string MakeHex() {
    std::string out;
    out.reserve(12'000'000);
    uint32_t x = 2463534242u;
    for (uint32_t a = 0; a < 4194304; a += 16) {
        if (a % 65536 == 0) Append(out, {2, 0, 0, 4, static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16)});
        std::vector<uint8_t> rec = {16, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), 0};
        for (int i = 0; i < 16; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            rec.push_back(static_cast<uint8_t>(x));
        }
        Append(out, rec);
    }
    Append(out, {0, 0, 0, 1});
    return out;
}

// Runs objcopy; returns its wall time in ms, or a negative value when it cannot be run.
double RunObjcopy(const std::string& in, const std::string& out) {
    std::vector<std::string> args = {"objcopy", "-I", "ihex", "-O", "binary", in, out};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto t0 = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "objcopy", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return Ms(Clock::now() - t0);
}

}  // namespace

int main() {
    try {
        TempDir dir;
        const std::string hexFile = (dir.path / "full.h86").string();
        const std::string binFile = (dir.path / "full.BIN").string();
        const std::string zupFile = (dir.path / "full.ZUP").string();
        const std::string objFile = (dir.path / "objcopy.bin").string();
        {
            const std::string hex = MakeHex();
            std::ofstream(hexFile, std::ios::binary).write(hex.data(), static_cast<std::streamsize>(hex.size()));
        }
        std::printf("Intel HEX input: %.1f MB, 16-byte records, full 4 MiB image\n",
                    static_cast<double>(fs::file_size(hexFile)) / 1e6);

        std::vector<double> empty, convert, flush, build, objcopy;
        TBuildResult built;
        for (int rep = 0; rep < kRepetitions; ++rep) {
            TBinaryImage image;
            THexReader reader;
            auto t0 = Clock::now();
            image.EmptyBinaryFile(binFile, MainImageChunks);
            auto t1 = Clock::now();
            reader.HexToBinaryFile(hexFile, image);
            auto t2 = Clock::now();
            image.Flush();
            auto t3 = Clock::now();
            built = BuildUploadFile(image, zupFile);
            auto t4 = Clock::now();
            empty.push_back(Ms(t1 - t0));
            convert.push_back(Ms(t2 - t1));
            flush.push_back(Ms(t3 - t2));
            build.push_back(Ms(t4 - t3));
            const double o = RunObjcopy(hexFile, objFile);
            if (o >= 0) objcopy.push_back(o);
        }
        std::printf("median of %d runs:\n", kRepetitions);
        std::printf("  empty image (4 MiB of 0xFF):  %8.2f ms\n", Median(empty));
        std::printf("  Intel HEX to image:           %8.2f ms\n", Median(convert));
        std::printf("  image to its file (X.BIN):    %8.2f ms\n", Median(flush));
        std::printf("  image to upload block file:   %8.2f ms  (%d blocks, checksum %s)\n", Median(build),
                    built.BlockCount, built.Checksum.c_str());
        if (objcopy.empty()) {
            std::printf("  objcopy -I ihex -O binary:    not available (objcopy missing or failed)\n");
            std::printf("hex-to-image/objcopy ratio: n/a\n");
            return 0;
        }
        const bool same = fs::file_size(objFile) == fs::file_size(binFile) &&
                          [&] {
                              std::ifstream a(objFile, std::ios::binary), b(binFile, std::ios::binary);
                              return std::equal(std::istreambuf_iterator<char>(a), {},
                                                std::istreambuf_iterator<char>(b), {});
                          }();
        std::printf("  objcopy -I ihex -O binary:    %8.2f ms  (its image %s ours)\n", Median(objcopy),
                    same ? "equals" : "DIFFERS FROM");
        std::printf("hex-to-image/objcopy ratio: %.2f\n", Median(convert) / Median(objcopy));
        std::printf("hex-to-file/objcopy ratio:  %.2f\n", (Median(convert) + Median(flush)) / Median(objcopy));
        return same ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_prepare: %s\n", e.what());
        return 1;
    }
}
