#include "base/RunError.h"

#include <cstring>

EInOutError::EInOutError(const std::string& action, const std::string& fileName, int errnum)
    : std::runtime_error(action + " \"" + fileName + "\": " + std::strerror(errnum)), fileName_(fileName) {}

EInOutError::EInOutError(const std::string& message, const std::string& fileName)
    : std::runtime_error(message), fileName_(fileName) {}

EConvertError::EConvertError(const std::string& message) : std::runtime_error(message) {}
