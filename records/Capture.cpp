#include "records/Capture.h"

#include "base/RunError.h"
#include "base/SafeFile.h"

#include <cerrno>
#include <ctime>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kCannotOpen = "Cannot open file";

// The conversation carries the whole firmware: a new capture file is for its user and, on a
// shared station, the user's group to read, never for everyone on the machine.
constexpr mode_t kNewFileMode = 0640;

std::string OwnerText(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    return pw ? "user " + std::string(pw->pw_name) + " (uid " + std::to_string(uid) + ")" : "uid " + std::to_string(uid);
}

// A capture file that is this user's: made new (O_EXCL: nobody's file or link is taken for a new
// one), or one that already belongs to this user (to root when root runs). Another user's file
// would hand them the whole conversation; it is refused before anything is written to it.
TUniqueFd OpenOwnFile(const std::string& path) {
    for (int tries = 0; tries < 8; ++tries) {
        TOpenResult made = TryOpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW, kNewFileMode);
        if (made.Fd.Valid()) return std::move(made.Fd);
        if (made.NotRegular) ThrowNotRegularFile(kCannotOpen, path);
        if (made.Error != EEXIST) throw EInOutError(kCannotOpen, path, made.Error);
        TOpenResult old = TryOpenRegularFile(path, O_WRONLY | O_APPEND | O_NOFOLLOW);
        if (old.Error == ENOENT) continue;  // removed since: made anew
        if (old.NotRegular) ThrowNotRegularFile(kCannotOpen, path);
        if (old.Error) throw EInOutError(kCannotOpen, path, old.Error);
        struct stat st {};
        if (::fstat(old.Fd.Get(), &st) != 0) throw EInOutError(kCannotOpen, path, errno);
        std::string refusal;
        if (st.st_uid != ::geteuid()) refusal = "it belongs to " + OwnerText(st.st_uid) + ", not to this user";
        // Where hard links to other users' files are allowed, one of this user's own files (a
        // shell's start-up file) could stand at the name.
        else if (st.st_nlink > 1) refusal = "it has other names (hard links) besides this one";
        if (!refusal.empty())
            throw EInOutError(std::string(kCannotOpen) + " \"" + path + "\": " + refusal +
                                  "; remove it or choose another capture file",
                              path);
        return std::move(old.Fd);
    }
    throw EInOutError(kCannotOpen, path, EEXIST);
}

std::string SizeText(uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

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
    // Appending never empties an existing file: the record grows over runs. A FIFO or a link in
    // its place is refused rather than waited on or written through.
    TUniqueFd fd = OpenOwnFile(path);
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
    written_ = sizeof start - 1;
    file_ = f;  // capture counts as on only from here
}

void TCaptureFile::WriteCapture(const std::string& text, const std::string& tag) {
    if (!file_) return;
    std::string body = RenderCaptureText(tag + text);
    if (body == lastCaptureLine_) return;
    const std::string time = TimeOfDay ? TimeOfDay() : LocalTimeOfDayText();
    const std::string line = time + body + "\r\n";
    const std::string stop = time + "[stop]capture stopped: size limit of " + SizeText(SizeLimit) + " reached\r\n";
    if (written_ + line.size() + stop.size() > SizeLimit) {
        // A line that sends noise would otherwise fill the disk. The record ends with why it ends,
        // and the failure is reported once, as a file that cannot be written is.
        WriteLine(stop);
        const std::string path = path_;
        CloseCapture();
        throw EInOutError("Capture file \"" + path + "\" reached its size limit of " + SizeText(SizeLimit), path);
    }
    WriteLine(line);
    lastCaptureLine_ = std::move(body);
}

void TCaptureFile::WriteLine(const std::string& line) {
    // Each line is flushed at once: an operator can follow the file during an upload, and a
    // program that dies leaves a complete record behind.
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
        int err = errno;
        // Every tick writes a line; leaving capture on would report the same failure 20 times a
        // second. Capture goes off and the failure is reported once.
        CloseCapture();
        throw EInOutError("Cannot write file", path_, err);
    }
    written_ += line.size();
}

std::string TCaptureFile::RenderCaptureText(std::string s) {
    RenderFirst(s, '\n', "[lf]", 4);
    RenderFirst(s, '\r', "[cr]", 6);
    if (s.find("FAC=E ") != std::string::npos) s = " Factory mode enabled";
    else if (s.find("FAC=D ") != std::string::npos) s = " Factory mode disabled";
    else if (s.find("FAC=") != std::string::npos) s = " Factory mode message accepted";
    return s;
}
