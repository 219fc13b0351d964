// "commsUP.txt" of any content: the port text is at most one character, the first of the last
// line, and a missing file gives nothing.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "base/RunError.h"
#include "records/CommsSettings.h"
#include "records/FileText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    const auto path = fuzz::Scratch().Path() / "commsUP.txt";
    fuzz::WriteFile(path, content);
    if (size > records::kSettingsFileCap) {
        bool refused = false;
        try {
            ReadCommsPortText(path.string());
        } catch (const EInOutError&) {
            refused = true;
        }
        FUZZ_CHECK(refused);
        return 0;
    }
    const auto port = ReadCommsPortText(path.string());
    if (content.empty()) {
        FUZZ_CHECK(!port);
    } else {
        FUZZ_CHECK(port && port->size() <= 1);
        if (!port->empty()) FUZZ_CHECK(content.find(*port) != std::string::npos);
        FUZZ_CHECK(*port != "\n");
    }
    std::filesystem::remove(path);
    FUZZ_CHECK(!ReadCommsPortText(path.string()));
    return 0;
}
