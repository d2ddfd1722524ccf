// SPDX-License-Identifier: MIT
#include "Core/KeyInjector.hpp"
#include "Platform/Linux/LinuxAccessibility.hpp"
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

// Last: Xlib's macros (None, KeyPress, Bool, ...) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

// A private X server. With -displayfd it takes a free display and writes its number once it
// accepts connections; its messages go to the test's output, so no pipe can fill and stall it.
struct Xvfb {
    explicit Xvfb(const QStringList& extraArguments = {})
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(u"Xvfb"_s, QStringList{u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s} +
                                     extraArguments);
        while (!display.endsWith('\n') && process.waitForReadyRead(20000))
            display += process.readAllStandardOutput();
        display = display.endsWith('\n') ? ':' + display.trimmed() : QByteArray();
    }
    ~Xvfb()
    {
        process.terminate();
        process.waitForFinished();
    }

    QProcess process;
    QByteArray display;
};

} // namespace

// With no window mapped, the root window has the focus and takes the keys.
TEST(XTestKeyboardTest, ArrowsReachTheFocusInOrderAndNothingWhileAnotherSessionHasTheSeat)
{
    Xvfb server;
    ASSERT_FALSE(server.display.isEmpty()) << "Xvfb did not start (its messages are above)";
    Display* display = XOpenDisplay(server.display.constData());
    ASSERT_NE(display, nullptr);
    XSelectInput(display, DefaultRootWindow(display), KeyPressMask | KeyReleaseMask);
    // A press and release that a loaded machine pulls apart must not turn into repeats.
    XAutoRepeatOff(display);
    XSync(display, False);

    auto owned = std::make_unique<fakes::RecordingUinputSystemCalls>();
    const auto& calls = *owned;
    LinuxKeyEventServices keys({u"x11"_s, {}, server.display}, std::move(owned));
    int prompts = 0;
    EXPECT_TRUE(LinuxAccessibility(keys, [&prompts] { ++prompts; }).isProcessTrustedWithPrompt());
    keys.setSessionActive(false);
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    keys.setSessionActive(true);
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);

    std::vector<std::pair<int, KeySym>> seen;
    const QDeadlineTimer deadline(20000);
    while (seen.size() < 4 && !deadline.hasExpired()) {
        XEvent event;
        if (XCheckMaskEvent(display, KeyPressMask | KeyReleaseMask, &event))
            seen.emplace_back(event.type, XLookupKeysym(&event.xkey, 0));
        else
            QThread::msleep(10);
    }
    XCloseDisplay(display);
    EXPECT_EQ(seen, (std::vector<std::pair<int, KeySym>>{{KeyPress, XK_Right},
                                                         {KeyRelease, XK_Right},
                                                         {KeyPress, XK_Left},
                                                         {KeyRelease, XK_Left}}));
    EXPECT_EQ(prompts, 0);
    EXPECT_TRUE(calls.calls.empty()) << "no virtual keyboard where XTest works";
}

TEST(XTestKeyboardTest, WithoutTheExtensionTheVirtualKeyboardIsUsed)
{
    Xvfb server({u"-extension"_s, u"XTEST"_s});
    ASSERT_FALSE(server.display.isEmpty());
    LinuxKeyEventServices keys({u"x11"_s, {}, server.display},
                               std::make_unique<fakes::RecordingUinputSystemCalls>());
    EXPECT_EQ(keys.backend(), KeyBackend::uinput);
}
