// The help window: shows one topic of the help file "ZURuzada.HLP" (HTML with an anchor per topic).
#pragma once

#include <QDialog>
#include <QString>

class QTextBrowser;

class THelpWindow : public QDialog {
    Q_OBJECT
public:
    explicit THelpWindow(QWidget* parent = nullptr);
    // Shows the file scrolled so the topic's heading is the top line of the view; false when the
    // file cannot be read.
    bool ShowTopic(const QString& helpFile, int topic);
    int CurrentTopic() const { return topic_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void LeaveRoomBelowLastTopic();

    QTextBrowser* browser_;
    int topic_ = 0;
};
