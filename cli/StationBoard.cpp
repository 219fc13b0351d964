#include "cli/StationBoard.h"

#include <QString>
#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Redrawing faster than the eye reads only costs the terminal's (and the other units') time.
constexpr int kRedrawMs = 100;

int TerminalWidth() {
    winsize size {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void Out(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

TStationBoard::TStationBoard(std::vector<std::string> names) {
    for (std::string& name : names) {
        nameWidth_ = std::max(nameWidth_, name.size());
        rows_.push_back({std::move(name), {}, {}, {}});
    }
    pending_.setSingleShot(true);
    QObject::connect(&pending_, &QTimer::timeout, &context_, [this] { Draw(); });
}

void TStationBoard::Show(size_t row, const std::string& text, bool progress) {
    (progress ? rows_[row].Progress : rows_[row].Doing) = text;
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

std::string TStationBoard::RowText(const TRow& row, int width) const {
    QString text = QString::fromStdString(row.Name).leftJustified(static_cast<int>(nameWidth_) + 2);
    // The doing part is cut short so that the progress stays on the line.
    text += QString::fromStdString(row.Doing).leftJustified(34, ' ', true) + ' ';
    text += QString::fromStdString(row.Progress);
    if (!row.Tally.empty()) text += "  [" + QString::fromStdString(row.Tally) + ']';
    // A wrapped line would throw the cursor-up count out.
    return text.trimmed().left(std::max(width - 1, 10)).toStdString();
}

void TStationBoard::Erase() {
    if (drawn_) Out("\033[" + std::to_string(rows_.size()) + "A\r\033[J");
    drawn_ = false;
}

void TStationBoard::Draw() {
    pending_.stop();
    lastDraw_.start();
    const int width = TerminalWidth();
    std::string frame = drawn_ ? "\033[" + std::to_string(rows_.size()) + "A" : std::string();
    for (const TRow& row : rows_) frame += "\r\033[K" + RowText(row, width) + "\n";
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
}
