// A station's units on a terminal: one line per unit, redrawn in place, with anything that must
// stay readable (a failure, a warning) printed above them.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <string>
#include <vector>

class TStationBoard {
public:
    explicit TStationBoard(std::vector<std::string> names);

    // What the unit is doing (UTF-8), or its block progress.
    void Show(size_t row, const std::string& text, bool progress);
    // The unit's tally for --loop ("3 done, 1 failed").
    void SetTally(size_t row, const std::string& tally);
    // A line kept above the board, on stderr.
    void Log(const std::string& line);
    // Draws what is pending and leaves the cursor below the board.
    void Close();

private:
    struct TRow {
        std::string Name, Doing, Progress, Tally;
    };
    void Draw();
    void Schedule();
    void Erase();
    std::string RowText(const TRow& row, int width) const;

    std::vector<TRow> rows_;
    size_t nameWidth_ = 0;
    bool drawn_ = false;
    bool closed_ = false;
    QElapsedTimer lastDraw_;
    QObject context_;
    QTimer pending_;
};
