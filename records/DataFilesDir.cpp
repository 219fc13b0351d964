#include "records/DataFilesDir.h"

#include "base/SafeFile.h"
#include "records/FileText.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Only ASCII letters change case: a name with other characters then goes through the upper-case
// line and back unchanged, whatever its encoding.
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperText(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), Upper);
    return s;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) { return UpperText(a) == UpperText(b); }

bool IsDir(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec);
}

// The entry of `dir` that `name` stands for: the exact name first, else the names that differ
// from it only in case (the first in sorted order when there are several). Directories only.
std::optional<fs::path> ResolveComponent(const fs::path& dir, const std::string& name) {
    if (IsDir(dir / name)) return dir / name;
    std::vector<std::string> matches;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (SameIgnoringCase(entry, name) && IsDir(it->path())) matches.push_back(entry);
    }
    if (matches.empty()) return std::nullopt;
    std::sort(matches.begin(), matches.end());
    return dir / matches.front();
}

std::vector<std::string> SplitComponents(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= s.size()) {
        size_t at = s.find(sep, start);
        if (at == std::string::npos) at = s.size();
        if (at > start) parts.push_back(s.substr(start, at - start));
        start = at + 1;
    }
    return parts;
}

// The components of `dir` below `home`, when it lies inside it (without regard to case).
std::optional<std::vector<std::string>> PartsBelow(const fs::path& dir, const fs::path& home) {
    auto d = SplitComponents(dir.lexically_normal().string(), '/');
    auto h = SplitComponents(home.lexically_normal().string(), '/');
    if (d.size() < h.size()) return std::nullopt;
    for (size_t i = 0; i < h.size(); ++i)
        if (!SameIgnoringCase(d[i], h[i])) return std::nullopt;
    return std::vector<std::string>(d.begin() + static_cast<long>(h.size()), d.end());
}

}  // namespace

std::string DataFilesSetPath(const std::string& home) {
    std::string p = home;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return (p == "/" ? "" : p) + "/ZURuzada.set";
}

std::string ReadDataFilesDir(const std::string& home) {
    auto content = ReadSmallFile(DataFilesSetPath(home), records::kSettingsFileCap);
    if (!content) return home;
    auto lines = records::SplitLines(*content);
    if (lines.empty()) return home;
    const std::string& line = lines.front();
    if (line.empty() || Upper(line[0]) != 'C') return home;
    std::string upper = UpperText(line);
    if (upper == "C:\\" || upper == "C:") return home;
    // Only the form this program writes is understood: "C:\" followed by names separated by "\".
    if (upper.compare(0, 3, "C:\\") != 0) return home;

    fs::path dir = home;
    for (const std::string& name : SplitComponents(line.substr(3), '\\')) {
        // Names that would lead out of the directory or are not one name are not ours.
        if (name == "." || name == ".." || name.find('/') != std::string::npos) return home;
        auto next = ResolveComponent(dir, name);
        if (!next) return home;
        dir = *next;
    }
    return IsDir(dir) ? dir.string() : home;
}

std::string DataFilesLine(const std::string& dir, const std::string& home) {
    auto parts = PartsBelow(fs::path(dir), fs::path(home));
    if (!parts) {
        // The same folder may be reached through a symbolic link; compare the real paths too.
        std::error_code e1, e2;
        fs::path d = fs::weakly_canonical(fs::absolute(dir), e1);
        fs::path h = fs::weakly_canonical(fs::absolute(home), e2);
        if (!e1 && !e2) parts = PartsBelow(d, h);
    }
    std::string line = "C:\\";
    if (!parts) return line;
    for (size_t i = 0; i < parts->size(); ++i) {
        if (i) line += '\\';
        line += UpperText((*parts)[i]);
    }
    return line;
}

void SaveDataFilesDir(const std::string& dir, const std::string& home) {
    ReplaceFile(DataFilesSetPath(home), DataFilesLine(dir, home) + "\r\n");
}
