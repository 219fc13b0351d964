// The capture file "Capture.txt": a time-stamped record of the conversation with the unit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// What one capture may write from the moment it is switched on. A full upload of the largest
// image (4 MiB, 32768 blocks, every block dumped) writes about 12.5 MB, so twenty such uploads fit;
// a line sending noise that the program captures byte by byte reaches it within a minute.
constexpr uint64_t kCaptureSizeLimit = uint64_t(256) << 20;

class TCaptureFile {
public:
    TCaptureFile();
    ~TCaptureFile();
    TCaptureFile(const TCaptureFile&) = delete;
    TCaptureFile& operator=(const TCaptureFile&) = delete;

    bool CaptureOn() const { return file_ != nullptr; }
    const std::string& Path() const { return path_; }
    // Off -> on: opens `path` for appending and writes "[start]". A missing file is made (mode
    // 0640 less the umask); an existing one is used only when it belongs to this user and has no
    // other name (hard link). On -> off: closes. Throws EInOutError naming the file (also for a
    // FIFO or a symbolic link in its place, or another user's file); capture then stays off.
    void ToggleCapture(const std::string& path);
    void CloseCapture();
    // One line: time of day + RenderCaptureText(tag + text); a body equal to the last one is not
    // written again. Does nothing while off. Throws EInOutError when the line cannot be written,
    // and when it would take this capture past SizeLimit: a last "[stop]" line then says so in
    // the file. Either way capture is off afterwards.
    void WriteCapture(const std::string& text, const std::string& tag);
    static std::string RenderCaptureText(std::string s);

    // The time-of-day text in front of each line; the locale's long time format by default.
    std::function<std::string()> TimeOfDay;
    // Bytes one capture may write, its "[start]" and "[stop]" lines included.
    uint64_t SizeLimit = kCaptureSizeLimit;

private:
    void WriteLine(const std::string& line);

    std::FILE* file_ = nullptr;
    uint64_t written_ = 0;
    std::string path_;
    std::string lastCaptureLine_;
};

// The locale's time of day (%X), e.g. 14:05:09.
std::string LocalTimeOfDayText();
