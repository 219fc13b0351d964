// What the fuzz targets share: a private scratch folder for the process and a way to stop with a
// message when an invariant breaks (abort() is what libFuzzer reports as a crash).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace fuzz {

class TScratch {
public:
    TScratch() {
        std::string t = (std::filesystem::temp_directory_path() / "zupfuzz-XXXXXX").string();
        if (!::mkdtemp(t.data())) throw std::runtime_error("cannot create a temporary directory");
        path_ = t;
    }
    ~TScratch() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// One scratch folder per fuzzing process, removed when it exits normally.
inline TScratch& Scratch() {
    static TScratch scratch;
    return scratch;
}

inline void WriteFile(const std::filesystem::path& p, const std::string& content) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", p.c_str());
        std::abort();
    }
}

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

#define FUZZ_CHECK(cond)                        \
    do {                                        \
        if (!(cond)) ::fuzz::Fail(#cond);       \
    } while (0)

}  // namespace fuzz
