#include "gui/HelpWindow.h"

#include <QEvent>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextFrame>
#include <QVBoxLayout>

#include <optional>
#include <string>

#include "base/SafeFile.h"

namespace {
constexpr size_t kHelpFileCap = 4u << 20;  // the help text is some kilobytes
}

THelpWindow::THelpWindow(QWidget* parent) : QDialog(parent) {
    setObjectName("HelpWindow");
    setWindowTitle("Norvane Flash Device Upload - Help");
    resize(640, 520);
    auto* layout = new QVBoxLayout(this);
    browser_ = new QTextBrowser(this);
    browser_->setObjectName("HelpText");
    browser_->setOpenLinks(true);
    layout->addWidget(browser_);
    browser_->viewport()->installEventFilter(this);
}

bool THelpWindow::ShowTopic(const QString& helpFile, int topic) {
    // Read like every file the program opens: a FIFO or a device in its place cannot block the
    // window, and a file of any size is not taken whole into memory.
    std::optional<std::string> text;
    try {
        text = ReadSmallFile(helpFile.toLocal8Bit().toStdString(), kHelpFileCap);
    } catch (const std::exception&) {
        return false;
    }
    if (!text) return false;
    browser_->setHtml(QString::fromUtf8(text->data(), static_cast<qsizetype>(text->size())));
    topic_ = topic;
    show();
    raise();
    LeaveRoomBelowLastTopic();
    browser_->scrollToAnchor(QString("topic%1").arg(topic));
    return true;
}

// A view can only scroll until the end of the text reaches its bottom, so a topic near the end
// (the factory job's) would open with its heading halfway down, under the end of the topic before.
// A view's height of blank space below the text lets every heading reach the top.
void THelpWindow::LeaveRoomBelowLastTopic() {
    QTextFrame* root = browser_->document()->rootFrame();
    QTextFrameFormat format = root->frameFormat();
    const int room = browser_->viewport()->height();
    if (format.bottomMargin() == room) return;
    format.setBottomMargin(room);
    root->setFrameFormat(format);
}

bool THelpWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == browser_->viewport() && event->type() == QEvent::Resize) LeaveRoomBelowLastTopic();
    return QDialog::eventFilter(watched, event);
}
