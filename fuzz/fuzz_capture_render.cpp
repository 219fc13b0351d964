// The capture line body: line ends become visible tags (only the first few of each), and the
// factory-mode messages are summarised. The result is bounded by the input and the tags added.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "records/Capture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string out = TCaptureFile::RenderCaptureText(text);
    if (text.find("FAC=") == std::string::npos) {
        // Each replaced byte becomes four characters: at most 4 LF and 6 CR replacements.
        FUZZ_CHECK(out.size() <= text.size() + 3 * 10);
        FUZZ_CHECK(out.size() >= text.size());
        if (text.find('\r') == std::string::npos && text.find('\n') == std::string::npos)
            FUZZ_CHECK(out == text);
    }
    return 0;
}
