// SPDX-License-Identifier: MIT
#include <QApplication>

#include <gmock/gmock.h>

namespace {
QtMessageHandler defaultHandler = nullptr;

// The offscreen platform says so whenever a window asks for what only a real display does.
void quietOffscreenLimits(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (!text.startsWith(QLatin1String("This plugin does not support")))
        defaultHandler(type, context, text);
}
} // namespace

// Widgets need an application object; the offscreen platform needs no display.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    defaultHandler = qInstallMessageHandler(quietOffscreenLimits);
    QApplication app(argc, argv);
    // Tests show and close windows of their own; only an explicit quit may end a loop.
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
