// SPDX-License-Identifier: MIT
#include <QApplication>

#include <gmock/gmock.h>

// Runs on a real X display with a private session bus (see in-desktop-session): the tray's
// platform paths exist only there.
int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
