// The capture file "Capture.txt": a time-stamped record of the conversation with the unit.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

class TCaptureFile {
public:
    TCaptureFile();
    ~TCaptureFile();
    TCaptureFile(const TCaptureFile&) = delete;
    TCaptureFile& operator=(const TCaptureFile&) = delete;

    bool CaptureOn() const { return file_ != nullptr; }
    const std::string& Path() const { return path_; }
    // Off -> on: opens `path` for appending (creating it) and writes "[start]". On -> off: closes.
    // Throws EInOutError naming the file (also for a FIFO or a symbolic link in its place); capture
    // then stays off.
    void ToggleCapture(const std::string& path);
    void CloseCapture();
    // One line: time of day + RenderCaptureText(tag + text); a body equal to the last one is not
    // written again. Does nothing while off. Throws EInOutError when the line cannot be written.
    void WriteCapture(const std::string& text, const std::string& tag);
    static std::string RenderCaptureText(std::string s);

    // The time-of-day text in front of each line; the locale's long time format by default.
    std::function<std::string()> TimeOfDay;

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    std::string lastCaptureLine_;
};

// The locale's time of day (%X), e.g. 14:05:09.
std::string LocalTimeOfDayText();
