// Every test executable runs with a QApplication (offscreen unless a platform is chosen), so the
// same main serves logic tests and tests of the real window.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {
// The offscreen platform reports every window-manager feature it lacks; that is not news.
void QuietOffscreen(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith("This plugin does not support")) return;
    const QByteArray text = qFormatLogMessage(type, context, message).toLocal8Bit();
    std::fprintf(stderr, "%s\n", text.constData());
}
}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(QuietOffscreen);
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
