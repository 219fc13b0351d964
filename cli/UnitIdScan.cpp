#include "cli/UnitIdScan.h"

#include <QTimer>
#include <cctype>
#include <cerrno>
#include <string_view>
#include <unistd.h>

#include "base/ShownText.h"
#include "cli/CommandLineJob.h"

namespace {

constexpr size_t kMaxLine = 4096;  // no scanner types a label this long; a stuck key is cut here
constexpr size_t kMaxId = 128;

bool Blank(char c) { return c == ' ' || c == '\t'; }

// "COM 3", "COM3", "com 3" or "3": the length of the COM n name at the line's start, 0 for none.
size_t ComPrefix(const std::string& line, int port) {
    const std::string digits = std::to_string(port);
    size_t at = 0;
    if (line.size() >= 3 && std::tolower(static_cast<unsigned char>(line[0])) == 'c' &&
        std::tolower(static_cast<unsigned char>(line[1])) == 'o' &&
        std::tolower(static_cast<unsigned char>(line[2])) == 'm') {
        at = 3;
        if (at < line.size() && line[at] == ' ') ++at;
    }
    if (line.compare(at, digits.size(), digits) != 0) return 0;
    return at + digits.size();
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

void TUnitIdScan::TooLong() { say_(-1, "a line of standard input is too long for a unit id: ignored"); }

// The port a line names at its start: the longest of the names that is followed by a blank.
int TUnitIdScan::PortOf(const std::string& line, size_t& idStart) const {
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

void TUnitIdScan::Take(const std::string& typed) {
    std::string line = typed;
    while (!line.empty() && (line.back() == '\r' || Blank(line.back()))) line.pop_back();
    size_t first = 0;
    while (first < line.size() && Blank(line[first])) ++first;
    line.erase(0, first);
    if (line.empty()) return;
    size_t at = 0;
    const int port = PortOf(line, at);
    if (port < 0) return say_(-1, "'" + ShownText(line) + "' names no port of this station: PORT ID a line");
    while (at < line.size() && Blank(line[at])) ++at;
    const std::string id = line.substr(at);
    if (id.size() > kMaxId || ShownText(id) != id)
        return say_(port, "unit id '" + ShownText(id) + "' refused: at most 128 printable characters");
    if (used_.Claim(id) == TUnitIdRegister::TClaim::Refused)
        return say_(port, "unit id '" + id + "' was already used in this run: refused for this unit");
    ports_[static_cast<size_t>(port)].Job->GiveUnitId(id);
}
