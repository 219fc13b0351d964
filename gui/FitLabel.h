// A label that is never cut: its text wraps at the label's width (anywhere in a word longer than a
// line, as a device path is), the label asks its layout for the lines it needs, and past its most
// lines the last one ends in an ellipsis with the whole text in the tooltip.
#pragma once

#include <QLabel>
#include <QStringList>

class TFitLabel : public QLabel {
    Q_OBJECT
public:
    explicit TFitLabel(QWidget* parent = nullptr, int maxLines = 3);
    void SetMaxLines(int lines);
    // The lines as drawn when the text has `width` pixels; `cut` says whether any was left out.
    QStringList Lines(int width, bool* cut = nullptr) const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int maxLines_;
    // A layout asks the height for one width many times a text: it is laid out once.
    mutable int hfwWidth_ = -1, hfwHeight_ = 0;
    mutable QString hfwText_;
};
