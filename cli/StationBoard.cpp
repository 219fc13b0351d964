#include "cli/StationBoard.h"

#include <QString>
#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Redrawing faster than the eye reads only costs the terminal's (and the other units') time.
constexpr int kRedrawMs = 100;
// How often a resized terminal is looked for. A SIGWINCH handler would be the process's, not the
// board's; one ioctl four times a second costs nothing.
constexpr int kResizeCheckMs = 250;
constexpr int kDoingColumn = 34;
constexpr int kMinDoing = 14;  // "Sending blocks"
constexpr int kBar = 20;

int TerminalWidth() {
    winsize size {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void Out(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

QString Utf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// The progress's parts, most needed first: blocks and percentage, time left, rate, bar.
struct TProgressParts {
    QString Blocks, Bar, Rate, Left;
};

TProgressParts Parts(const TStationRow& row) {
    TProgressParts p;
    if (!row.Blocks) {
        p.Blocks = Utf8(row.Progress);
        return p;
    }
    const TBlockProgress& b = *row.Blocks;
    const int max = b.Total > 0 ? b.Total : 1;
    const int filled = std::clamp(b.Sent * kBar / max, 0, kBar);
    p.Blocks = QString::asprintf("Block %d of %d %3d%%", b.Sent, b.Total, b.Sent * 100 / max);
    p.Bar = "[" + QString(filled, '#') + QString(kBar - filled, '-') + "]";
    if (b.Seconds >= 0.2 && b.Sent > 0) {
        const double rate = b.Sent / b.Seconds;
        const long left = static_cast<long>((max - b.Sent) / rate + 0.5);
        p.Rate = QString::asprintf("%.1f blocks/s,", rate);
        p.Left = QString::asprintf("%ld:%02ld left", left / 60, left % 60);
    }
    return p;
}

QString Joined(const TProgressParts& p, bool bar, bool rate) {
    QString text = p.Blocks;
    for (const QString* part : {bar ? &p.Bar : nullptr, rate ? &p.Rate : nullptr, &p.Left})
        if (part && !part->isEmpty()) text += ' ' + *part;
    if (!rate && text.endsWith(',')) text.chop(1);
    return text;
}

}  // namespace

std::string StationLine(const TStationRow& row, size_t nameWidth, size_t doingWidth, int width) {
    const int room = std::max(width - 1, 10);
    const QString name = Utf8(row.Name).leftJustified(static_cast<int>(nameWidth) + 2);
    const QString tally = row.Tally.empty() ? QString() : "  [" + Utf8(row.Tally) + ']';
    const QString doing = Utf8(row.Doing);
    const TProgressParts parts = Parts(row);
    QString progress;
    int doingRoom = 0;
    // Bar and rate kept while they fit beside a full doing column; then without the bar, then
    // without the rate; then the doing column gives way.
    for (const auto& [bar, rate] : {std::pair{true, true}, {false, true}, {false, false}}) {
        progress = Joined(parts, bar, rate);
        doingRoom = room - static_cast<int>(name.size() + progress.size() + tally.size()) - 1;
        if (doingRoom >= static_cast<int>(doingWidth)) break;
    }
    doingRoom = std::clamp(doingRoom, 0, static_cast<int>(doingWidth));
    QString text = name;
    if (doingRoom > 0) text += doing.leftJustified(doingRoom, ' ', true) + ' ';
    text += progress + tally;
    return text.trimmed().left(room).toStdString();
}

TStationBoard::TStationBoard(std::vector<std::string> names) {
    for (std::string& name : names) {
        nameWidth_ = std::max(nameWidth_, static_cast<size_t>(Utf8(name).size()));
        rows_.push_back({std::move(name), {}, {}, {}, std::nullopt});
    }
    pending_.setSingleShot(true);
    QObject::connect(&pending_, &QTimer::timeout, &context_, [this] { Draw(); });
    QObject::connect(&resize_, &QTimer::timeout, &context_, [this] { CheckWidth(); });
    resize_.start(kResizeCheckMs);
}

void TStationBoard::Show(size_t row, const std::string& text, bool progress) {
    if (progress) {
        rows_[row].Progress = text;
        rows_[row].Blocks.reset();
    } else {
        rows_[row].Doing = text;
    }
    Schedule();
}

void TStationBoard::ShowBlocks(size_t row, const TBlockProgress& blocks) {
    rows_[row].Blocks = blocks;
    Schedule();
}

void TStationBoard::SetTally(size_t row, const std::string& tally) {
    rows_[row].Tally = tally;
    Schedule();
}

void TStationBoard::Schedule() {
    if (closed_) return;
    if (!lastDraw_.isValid() || lastDraw_.elapsed() >= kRedrawMs) return Draw();
    if (!pending_.isActive()) pending_.start(static_cast<int>(kRedrawMs - lastDraw_.elapsed()));
}

void TStationBoard::CheckWidth() {
    if (closed_) return resize_.stop();
    if (drawn_ && TerminalWidth() != width_) Draw();
}

void TStationBoard::Erase() {
    if (drawn_) Out("\033[" + std::to_string(rows_.size()) + "A\r\033[J");
    drawn_ = false;
}

void TStationBoard::Draw() {
    pending_.stop();
    lastDraw_.start();
    width_ = TerminalWidth();
    // The doing column as wide as its longest text, so the progress columns line up.
    size_t doingWidth = kMinDoing;
    for (const TStationRow& row : rows_)
        doingWidth = std::max(doingWidth, std::min<size_t>(Utf8(row.Doing).size(), kDoingColumn));
    // From the board's first line down: a narrower terminal may have rewrapped what was drawn.
    std::string frame = drawn_ ? "\033[" + std::to_string(rows_.size()) + "A\r\033[J" : std::string();
    for (const TStationRow& row : rows_) frame += "\r\033[K" + StationLine(row, nameWidth_, doingWidth, width_) + "\n";
    Out(frame);
    drawn_ = true;
}

void TStationBoard::Log(const std::string& line) {
    Erase();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    if (!closed_) Draw();
}

void TStationBoard::Close() {
    if (closed_) return;
    Draw();
    closed_ = true;
    resize_.stop();
}
