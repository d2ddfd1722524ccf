// SPDX-License-Identifier: MIT
#include <QApplication>

#include <gmock/gmock.h>

// Widgets need an application; offscreen unless the tray tests' desktop session names a display.
int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
