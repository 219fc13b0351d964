// Any chosen path: the kind of file follows from the last '.' of the file's own name alone, the
// folder never matters, and the .BIN/.ZUP names sit beside the input with the same base name.
#include <cstdint>
#include <string>

#include "firmware/UploadFile.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const TInputNames n = SplitInputFileName(input);
    const size_t slash = input.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : input.substr(0, slash + 1);
    const std::string name = input.substr(folder.size());

    FUZZ_CHECK(n.InputExt.size() <= 3);
    for (char c : n.InputExt) FUZZ_CHECK(!(c >= 'a' && c <= 'z'));
    // The same name in another folder, one with dots of its own, is the same kind of file.
    const TInputNames elsewhere = SplitInputFileName("/x.h86/y.zup/" + name);
    FUZZ_CHECK(elsewhere.InputExt == n.InputExt);

    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
        FUZZ_CHECK(n.BaseName == folder + name.substr(0, dot));
        FUZZ_CHECK(n.InputExt.size() == std::min<size_t>(3, name.size() - dot - 1));
    } else {
        FUZZ_CHECK(n.BaseName.empty());
    }
    const TInputKind kind = InputKind(n.InputExt);
    FUZZ_CHECK(n.BinFileName == (kind == TInputKind::Binary ? input : n.BaseName + ".BIN"));
    FUZZ_CHECK(n.ZupFileName == (kind == TInputKind::Upload ? input : n.BaseName + ".ZUP"));
    // What is written is never the input itself, unless the input is that very kind of file.
    if (kind != TInputKind::Binary) FUZZ_CHECK(n.BinFileName != input || dot == std::string::npos);
    if (kind != TInputKind::Upload) FUZZ_CHECK(n.ZupFileName != input || dot == std::string::npos);
    return 0;
}
