// The help window opens every topic with its heading as the top line of the view, the last topic
// of the file included.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/UniqueFd.h"
#include "tests/support/TempDir.h"
#include "gui/HelpWindow.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <gtest/gtest.h>

#include <map>

namespace {

const QString kHelpFile = QString(ZUP_SOURCE_DIR) + "/resources/ZURuzada.HLP";

// Topic number -> the block its anchor sits in.
std::map<int, QTextBlock> TopicBlocks(const QTextDocument& doc) {
    std::map<int, QTextBlock> topics;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            for (const QString& name : it.fragment().charFormat().anchorNames())
                if (name.startsWith("topic")) topics.emplace(name.mid(5).toInt(), b);
    return topics;
}

}  // namespace

TEST(HelpWindow, EveryTopicOpensWithItsHeadingAtTheTop) {
    // A short window leaves the most text below the last heading to scroll past; a tall one the least.
    for (const QSize size : {QSize(640, 520), QSize(500, 300), QSize(800, 900)}) {
        SCOPED_TRACE(size.height());
        THelpWindow help;
        help.resize(size);
        auto* browser = help.findChild<QTextBrowser*>("HelpText");
        ASSERT_NE(browser, nullptr);
        ASSERT_TRUE(help.ShowTopic(kHelpFile, 1));
        const auto topics = TopicBlocks(*browser->document());
        for (int used : {1, 3, 4, 5, 9, 10}) ASSERT_TRUE(topics.count(used)) << "topic" << used;

        for (const auto& [topic, block] : topics) {
            ASSERT_TRUE(help.ShowTopic(kHelpFile, topic));
            const QTextBlock atTop = browser->cursorForPosition(QPoint(8, 2)).block();
            EXPECT_EQ(atTop.text().toStdString(), block.text().toStdString())
                << "topic " << topic << " scrolled to " << browser->verticalScrollBar()->value();
            EXPECT_EQ(help.CurrentTopic(), topic);
        }
    }
}

TEST(HelpWindow, AFileThatCannotBeReadIsReported) {
    THelpWindow help;
    EXPECT_FALSE(help.ShowTopic(QString(ZUP_SOURCE_DIR) + "/resources/no-such-help-file", 1));
    EXPECT_FALSE(help.isVisible());
}

// A FIFO in the help file's place, with a writer that never writes: a plain read would wait for
// ever (the alarm ends such a run as a failure).
TEST(HelpWindow, AFifoInPlaceOfTheHelpFileIsRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir / "ZURuzada.HLP";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    TUniqueFd writer(::open(fifo.c_str(), O_RDWR | O_NONBLOCK));
    ASSERT_TRUE(writer.Valid());
    ::alarm(20);
    THelpWindow help;
    EXPECT_FALSE(help.ShowTopic(QString::fromStdString(fifo), 1));
    ::alarm(0);
    EXPECT_FALSE(help.isVisible());
}
