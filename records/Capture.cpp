#include "records/Capture.h"

#include "base/RunError.h"
#include "base/SafeFile.h"

#include <cerrno>
#include <ctime>

namespace {

// Replaces the first `times` occurrences of `what` (one byte) by `with`.
void RenderFirst(std::string& s, char what, const char* with, int times) {
    size_t from = 0;
    for (int i = 0; i < times; ++i) {
        size_t at = s.find(what, from);
        if (at == std::string::npos) return;
        s.replace(at, 1, with);
        from = at + 4;
    }
}

}  // namespace

std::string LocalTimeOfDayText() {
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "%X", &local);
    return std::string(buf, n);
}

TCaptureFile::TCaptureFile() : TimeOfDay(LocalTimeOfDayText) {}

TCaptureFile::~TCaptureFile() { CloseCapture(); }

void TCaptureFile::CloseCapture() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

void TCaptureFile::ToggleCapture(const std::string& path) {
    if (file_) {
        CloseCapture();
        return;
    }
    // Appending creates a missing file and never empties an existing one: the record grows over
    // runs. A FIFO or a link in its place is refused rather than waited on or written through.
    TUniqueFd fd = OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW);
    std::FILE* f = ::fdopen(fd.Get(), "ab");
    if (!f) throw EInOutError("Cannot open file", path, errno);
    fd.Release();
    static const char start[] = "[start]\r\n";
    if (std::fwrite(start, 1, sizeof start - 1, f) != sizeof start - 1 || std::fflush(f) != 0) {
        int err = errno;
        std::fclose(f);
        throw EInOutError("Cannot write file", path, err);
    }
    path_ = path;
    file_ = f;  // capture counts as on only from here
}

void TCaptureFile::WriteCapture(const std::string& text, const std::string& tag) {
    if (!file_) return;
    std::string body = RenderCaptureText(tag + text);
    if (body == lastCaptureLine_) return;
    std::string line = (TimeOfDay ? TimeOfDay() : LocalTimeOfDayText()) + body + "\r\n";
    // Each line is flushed at once: an operator can follow the file during an upload, and a
    // program that dies leaves a complete record behind.
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
        int err = errno;
        // Every tick writes a line; leaving capture on would report the same failure 20 times a
        // second. Capture goes off and the failure is reported once.
        CloseCapture();
        throw EInOutError("Cannot write file", path_, err);
    }
    lastCaptureLine_ = std::move(body);
}

std::string TCaptureFile::RenderCaptureText(std::string s) {
    RenderFirst(s, '\n', "[lf]", 4);
    RenderFirst(s, '\r', "[cr]", 6);
    if (s.find("FAC=E ") != std::string::npos) s = " Factory mode enabled";
    else if (s.find("FAC=D ") != std::string::npos) s = " Factory mode disabled";
    else if (s.find("FAC=") != std::string::npos) s = " Factory mode message accepted";
    return s;
}
