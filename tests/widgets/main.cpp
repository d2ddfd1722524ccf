// SPDX-License-Identifier: MIT
#include <QApplication>

#include <gmock/gmock.h>

// Widgets need an application; offscreen unless the tray tests' desktop session names a display.
int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Tests show and close windows of their own; only an explicit quit may end a loop.
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
