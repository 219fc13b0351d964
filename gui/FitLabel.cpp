#include "gui/FitLabel.h"

#include <QEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTextLayout>
#include <QTextOption>
#include <algorithm>
#include <vector>

TFitLabel::TFitLabel(QWidget* parent, int maxLines) : QLabel(parent), maxLines_(std::max(1, maxLines)) {
    // The width comes from the tile's column; the height follows from it.
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setMinimumWidth(0);
}

void TFitLabel::SetMaxLines(int lines) {
    maxLines_ = std::max(1, lines);
    hfwWidth_ = -1;
    updateGeometry();
    update();
}

QStringList TFitLabel::Lines(int width, bool* cut) const {
    if (cut) *cut = false;
    QString text = this->text();
    if (text.isEmpty() || width <= 0) return {};
    text.replace('\n', QChar::LineSeparator);
    QTextLayout layout(text, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    std::vector<int> starts;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        starts.push_back(line.textStart());
    }
    layout.endLayout();
    starts.push_back(static_cast<int>(text.size()));
    const int shown = std::min<int>(maxLines_, static_cast<int>(starts.size()) - 1);
    QStringList lines;
    for (int i = 0; i < shown; ++i) lines << text.mid(starts[i], starts[i + 1] - starts[i]);
    for (QString& line : lines)
        while (!line.isEmpty() && (line.back().isSpace() || line.back() == QChar::LineSeparator)) line.chop(1);
    if (shown < static_cast<int>(starts.size()) - 1) {
        // What does not fit goes into the last line's ellipsis.
        QString rest = text.mid(starts[shown - 1]);
        rest.replace(QChar::LineSeparator, ' ');
        lines.back() = fontMetrics().elidedText(rest, Qt::ElideRight, width);
        if (cut) *cut = true;
    }
    return lines;
}

int TFitLabel::heightForWidth(int width) const {
    if (width == hfwWidth_ && text() == hfwText_) return hfwHeight_;
    const QMargins m = contentsMargins();
    const int lines = std::max<int>(1, static_cast<int>(Lines(width - m.left() - m.right()).size()));
    hfwWidth_ = width;
    hfwText_ = text();
    hfwHeight_ = lines * fontMetrics().lineSpacing() + m.top() + m.bottom();
    return hfwHeight_;
}

QSize TFitLabel::sizeHint() const {
    const int width = this->width() > 1 ? this->width() : fontMetrics().averageCharWidth() * 20;
    return {fontMetrics().averageCharWidth() * 8, heightForWidth(width)};
}

QSize TFitLabel::minimumSizeHint() const {
    const QMargins m = contentsMargins();
    return {0, fontMetrics().lineSpacing() + m.top() + m.bottom()};
}

void TFitLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (autoFillBackground()) painter.fillRect(rect(), palette().color(backgroundRole()));
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    const QRect area = contentsRect();
    const QFontMetrics metrics = fontMetrics();
    int y = area.top();
    for (const QString& line : Lines(area.width())) {
        const QRect row(area.left(), y, area.width(), metrics.lineSpacing());
        painter.drawText(row, static_cast<int>(alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter, line);
        y += metrics.lineSpacing();
    }
}

void TFitLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    bool cut = false;
    Lines(contentsRect().width(), &cut);
    if (cut && toolTip().isEmpty()) setToolTip(text());
}

void TFitLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::ContentsRectChange) hfwWidth_ = -1;
    QLabel::changeEvent(event);
}
