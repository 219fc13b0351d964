#include "firmware/RunError.h"

#include <cstring>

EInOutError::EInOutError(const std::string& action, const std::string& fileName, int errnum)
    : std::runtime_error(action + " \"" + fileName + "\": " + std::strerror(errnum)), fileName_(fileName) {}

EInOutError::EInOutError(const std::string& message, const std::string& fileName)
    : std::runtime_error(message), fileName_(fileName) {}

EConvertError::EConvertError(const std::string& message, const std::string& fileName, long line)
    : std::runtime_error(message), fileName_(fileName), line_(line) {}

unsigned long HexValue(const std::string& digits) {
    if (digits.empty() || digits.size() > 16)
        throw EConvertError("'" + digits + "' is not a valid hexadecimal number");
    unsigned long v = 0;
    for (unsigned char c : digits) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else throw EConvertError("'" + digits + "' is not a valid hexadecimal number");
        v = v * 16 + static_cast<unsigned long>(d);
    }
    return v;
}
