// A station's units on a terminal: one line per unit, redrawn in place and fitted to the
// terminal's width, with anything that must stay readable (a failure, a warning) printed above them.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <optional>
#include <string>
#include <vector>

// A unit's blocks as its line shows them.
struct TBlockProgress {
    int Sent = 0;
    int Total = 0;
    double Seconds = 0;  // since the first block went out
};

// What one unit's line holds.
struct TStationRow {
    std::string Name, Doing, Progress, Tally;  // UTF-8
    std::optional<TBlockProgress> Blocks;      // shown instead of Progress when set
};

// The unit's line in fewer than `width` columns (a line that wraps throws the board's cursor-up
// count out): the name and the doing column at their widths, then the progress. What matters least
// goes first when it does not fit: the bar, then the rate, then the doing column's padding and text;
// the blocks, the time left and the tally stay longest.
std::string StationLine(const TStationRow& row, size_t nameWidth, size_t doingWidth, int width);

class TStationBoard {
public:
    explicit TStationBoard(std::vector<std::string> names);

    // What the unit is doing (UTF-8), or its progress as text ("" clears it).
    void Show(size_t row, const std::string& text, bool progress);
    // The unit's block progress.
    void ShowBlocks(size_t row, const TBlockProgress& blocks);
    // The unit's tally for --loop ("3 done, 1 failed").
    void SetTally(size_t row, const std::string& tally);
    // A line kept above the board, on stderr.
    void Log(const std::string& line);
    // Draws what is pending and leaves the cursor below the board.
    void Close();

private:
    void Draw();
    void Schedule();
    void Erase();
    void CheckWidth();

    std::vector<TStationRow> rows_;
    size_t nameWidth_ = 0;
    int width_ = 0;  // the terminal's columns at the last draw
    bool drawn_ = false;
    bool closed_ = false;
    QElapsedTimer lastDraw_;
    QObject context_;
    QTimer pending_;
    QTimer resize_;
};
