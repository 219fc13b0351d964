#include "gui/ProgramName.h"

#include <QGuiApplication>

void NameTheProgram() {
    QCoreApplication::setApplicationName("zupflshc");
    // Lets a Wayland desktop match the window to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName("com.norvane.zupflshc");
}
