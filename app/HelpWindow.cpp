#include "app/HelpWindow.h"

#include <QFile>
#include <QTextBrowser>
#include <QVBoxLayout>

THelpWindow::THelpWindow(QWidget* parent) : QDialog(parent) {
    setObjectName("HelpWindow");
    setWindowTitle("Norvane Flash Device Upload - Help");
    resize(640, 520);
    auto* layout = new QVBoxLayout(this);
    browser_ = new QTextBrowser(this);
    browser_->setObjectName("HelpText");
    browser_->setOpenLinks(true);
    layout->addWidget(browser_);
}

bool THelpWindow::ShowTopic(const QString& helpFile, int topic) {
    QFile f(helpFile);
    if (!f.open(QIODevice::ReadOnly)) return false;
    browser_->setHtml(QString::fromUtf8(f.readAll()));
    topic_ = topic;
    show();
    raise();
    browser_->scrollToAnchor(QString("topic%1").arg(topic));
    return true;
}

QString THelpWindow::Html() const { return browser_->toHtml(); }
