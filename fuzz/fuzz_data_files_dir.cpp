// "ZURuzada.set" of any content in a home folder holding a few directories (one only differing in
// case, one nested, a file, and a link leading out): the folder to start in is always the home
// folder or an existing directory inside it.
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "records/DataFilesDir.h"

namespace fs = std::filesystem;

namespace {

struct THome {
    fs::path home;
    THome() {
        home = fuzz::Scratch().Path() / "home";
        fs::create_directories(home / "Data" / "Sub");
        fs::create_directories(home / "data");
        fs::create_directories(home / "FW files");
        fuzz::WriteFile(home / "Notes", "x");
        fs::create_directories(fuzz::Scratch().Path() / "outside");
        std::error_code ec;
        fs::create_directory_symlink(fuzz::Scratch().Path() / "outside", home / "Away", ec);
    }
};

bool Inside(const fs::path& p, const fs::path& home) {
    const auto rel = p.lexically_normal().lexically_relative(home.lexically_normal());
    if (rel.empty()) return false;
    for (const auto& part : rel)
        if (part == "..") return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static THome setup;
    const std::string content(reinterpret_cast<const char*>(data), size);
    fuzz::WriteFile(DataFilesSetPath(setup.home.string()), content);
    const std::string dir = ReadDataFilesDir(setup.home.string());
    FUZZ_CHECK(dir == setup.home.string() || Inside(dir, setup.home));
    FUZZ_CHECK(fs::is_directory(dir));
    return 0;
}
