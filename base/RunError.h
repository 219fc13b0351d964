// Failures of files and number conversions. They are thrown where they happen and caught in one
// place by the window, which shows them in a message box and puts the sequencer back to idle.
#pragma once

#include <stdexcept>
#include <string>

// A file could not be opened, created, read or written. what() names the file and the
// system's reason, e.g. "Cannot open file \"/home/x/fw.h86\": No such file or directory".
class EInOutError : public std::runtime_error {
public:
    EInOutError(const std::string& action, const std::string& fileName, int errnum);
    EInOutError(const std::string& message, const std::string& fileName);
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
};

// Text that should have been a number is not: "'G1' is not a valid hexadecimal number". The
// message names the file and line where it was found, when known.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string& message);
};
