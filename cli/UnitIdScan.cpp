#include "cli/UnitIdScan.h"

#include <QTimer>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <unistd.h>

#include "base/ShownText.h"
#include "cli/CommandLineJob.h"

namespace {

constexpr size_t kMaxLine = 4096;  // no scanner types a label this long; a stuck key is cut here

bool Blank(char c) { return c == ' ' || c == '\t'; }

// "COM 3", "COM3" or "com 3": the length of the COM n name at the line's start, 0 for none. A bare
// number is read apart, as it may also be a position.
size_t ComPrefix(const std::string& line, int port) {
    if (line.size() < 3) return 0;
    for (size_t i = 0; i < 3; ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != "com"[i]) return 0;
    size_t at = 3;
    if (at < line.size() && line[at] == ' ') ++at;
    const std::string digits = std::to_string(port);
    if (line.compare(at, digits.size(), digits) != 0) return 0;
    return at + digits.size();
}

// A small decimal number ("3"), or -1: a long run of digits names no port.
int Number(const std::string& word) {
    if (word.empty() || word.size() > 4) return -1;
    for (char c : word)
        if (c < '0' || c > '9') return -1;
    return std::stoi(word);
}

std::string Resolved(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : std::string();
}

}  // namespace

TUnitIdScan::TUnitIdScan(std::vector<TPort> ports, std::function<void(int, const std::string&)> say)
    : ports_(std::move(ports)), say_(std::move(say)) {}

TUnitIdScan::~TUnitIdScan() = default;

void TUnitIdScan::Start() {
    notifier_ = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, &context_, [this] { Read(); });
}

void TUnitIdScan::Read() {
    char buffer[1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        notifier_->setEnabled(false);
        if (!pending_.empty()) Take(pending_);
        pending_.clear();
        ended_ = true;
        // A port held for an id it can no longer get ends, rather than waiting for ever.
        for (const TPort& port : ports_)
            if (port.Job->AwaitsUnitId()) port.Job->Abandon("standard input ended: no more unit ids");
        return;
    }
    std::string_view got(buffer, static_cast<size_t>(n));
    // The rest of a line already refused for its length: never read as a line of its own, or its
    // tail could name a port and give it an id nobody scanned.
    if (skipping_) {
        const size_t end = got.find('\n');
        if (end == std::string_view::npos) return;
        got.remove_prefix(end + 1);
        skipping_ = false;
    }
    pending_.append(got);
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (line.size() > kMaxLine) TooLong();
        else Take(line);
    }
    if (pending_.size() > kMaxLine) {
        TooLong();
        pending_.clear();
        skipping_ = true;
    }
}

// "PORT resume": a port paused for its failures in a row goes on. The word is never a unit's id.
void TUnitIdScan::Resume(int port) {
    TCliJob& job = *ports_[static_cast<size_t>(port)].Job;
    if (!job.Paused()) return say_(port, "'resume': the port is not paused (the word is not taken as a unit id)");
    job.Resume();
}

void TUnitIdScan::TooLong() { say_(-1, "a line of standard input is too long for a unit id: ignored"); }

// The port a line names by one of its names at its start: the longest followed by a blank.
int TUnitIdScan::ByName(const std::string& line, size_t& idStart) const {
    int found = -1;
    size_t longest = 0;
    for (size_t i = 0; i < ports_.size(); ++i) {
        std::vector<size_t> lengths;
        if (ports_[i].ComPort > 0) lengths.push_back(ComPrefix(line, ports_[i].ComPort));
        for (const std::string& name : ports_[i].Names)
            if (!name.empty() && line.compare(0, name.size(), name) == 0) lengths.push_back(name.size());
        for (size_t length : lengths)
            if (length > longest && length < line.size() && Blank(line[length])) {
                longest = length;
                found = static_cast<int>(i);
            }
    }
    idStart = longest;
    return found;
}

// "3" is the third port, or COM 3: when those are two ports, the scanner must be set to say which.
TUnitIdScan::TNamed TUnitIdScan::ByNumber(const std::string& word) const {
    TNamed named;
    const bool positionOnly = word.size() > 1 && word[0] == '#';
    const int n = Number(positionOnly ? word.substr(1) : word);
    if (n < 1) return named;
    const int position = static_cast<size_t>(n) <= ports_.size() ? n - 1 : -1;
    int com = -1;
    for (size_t i = 0; i < ports_.size() && !positionOnly; ++i)
        if (ports_[i].ComPort == n) com = static_cast<int>(i);
    if (position >= 0 && com >= 0 && position != com) {
        named.Refusal = "'" + word + "' is both port " + word + " of this station (" +
                        ports_[static_cast<size_t>(position)].Names.front() + ") and COM " + word + " (port " +
                        std::to_string(com + 1) + "): the line must say '#" + word + "' for the port at " +
                        word + ", or 'COM" + word + "'";
        return named;
    }
    named.Port = position >= 0 ? position : com;
    return named;
}

// A path naming the port's device by another way to it (its /dev/serial/by-path or by-id link):
// both sides are followed to the device they lead to.
int TUnitIdScan::ByDevice(const std::string& word) const {
    if (word.find('/') == std::string::npos) return -1;
    const std::string real = Resolved(word);
    if (real.empty()) return -1;
    for (size_t i = 0; i < ports_.size(); ++i)
        if (!ports_[i].Device.empty() && Resolved(ports_[i].Device) == real) return static_cast<int>(i);
    return -1;
}

std::string TUnitIdScan::NamesTaken() const {
    std::string names;
    for (size_t i = 0; i < ports_.size(); ++i) {
        names += (i ? ", " : "") + std::to_string(i + 1) + " or ";
        names += ports_[i].ComPort > 0 ? "COM " + std::to_string(ports_[i].ComPort) : ports_[i].Names.front();
    }
    return names;
}

TUnitIdScan::TNamed TUnitIdScan::Named(const std::string& line) const {
    TNamed named;
    named.Port = ByName(line, named.IdStart);
    if (named.Port >= 0) return named;
    const size_t end = line.find_first_of(" \t");
    const std::string word = line.substr(0, end);
    if (end != std::string::npos) {
        named = ByNumber(word);
        if (named.Port < 0 && named.Refusal.empty()) named.Port = ByDevice(word);
        named.IdStart = end;
        if (named.Port >= 0 || !named.Refusal.empty()) return named;
    }
    named.Refusal = "'" + ShownText(line) + "' names no port of this station: a line is PORT ID, the port by its " +
                    "position, its COM n, its device or a /dev/serial name leading to it (" + NamesTaken() + ")";
    return named;
}

void TUnitIdScan::Take(const std::string& typed) {
    std::string line = typed;
    while (!line.empty() && (line.back() == '\r' || Blank(line.back()))) line.pop_back();
    size_t first = 0;
    while (first < line.size() && Blank(line[first])) ++first;
    line.erase(0, first);
    if (line.empty()) return;
    const TNamed named = Named(line);
    if (named.Port < 0) return say_(-1, named.Refusal);
    const int port = named.Port;
    size_t at = named.IdStart;
    while (at < line.size() && Blank(line[at])) ++at;
    const std::string id = line.substr(at);
    if (id == kResumeWord) return Resume(port);
    if (const std::string refusal = Give(port, id); !refusal.empty()) say_(port, refusal);
}

std::string TUnitIdScan::Give(int port, const std::string& id) {
    if (std::string refusal = UnitIdRefusal(id); !refusal.empty()) return refusal;
    if (used_.Claim(id) == TUnitIdRegister::TClaim::Refused)
        return "unit id '" + id + "' was already used in this run: refused for this unit";
    ports_[static_cast<size_t>(port)].Job->GiveUnitId(id);
    return {};
}

int TUnitIdScan::PortNamed(const std::string& name, std::string& refusal) const {
    std::string trimmed = name;
    while (!trimmed.empty() && Blank(trimmed.back())) trimmed.pop_back();
    trimmed.erase(0, std::min(trimmed.size(), trimmed.find_first_not_of(" \t")));
    // Named reads a whole line: the name followed by a stand-in id must name a port by all of it.
    const TNamed named = trimmed.empty() ? TNamed{} : Named(trimmed + " -");
    if (named.Port >= 0 && named.IdStart == trimmed.size()) return named.Port;
    refusal = !named.Refusal.empty() && named.Port < 0 && named.Refusal.find("is both") != std::string::npos
                  ? named.Refusal
                  : "'" + ShownText(name) + "' names no port of this station (" + NamesTaken() + ")";
    return -1;
}
