// SPDX-License-Identifier: MIT
#include <QApplication>

#include <gmock/gmock.h>

// The grant dialog needs a widget application; no test here may depend on a desktop display.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
