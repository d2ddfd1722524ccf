// SPDX-License-Identifier: MIT
#include "Platform/Linux/XTestKeyboard.hpp"
#include "Core/KeyInjector.hpp"
#include "Platform/Linux/LinuxAccessibility.hpp"
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <QDeadlineTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <poll.h>

// Last: Xlib's macros (None, KeyPress, Bool, ...) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

constexpr int timeoutMs = 20000;

// A private X server: with -displayfd it takes a free display and writes its number once it
// accepts connections. Its messages go to the test's output, so no pipe can fill and stall it.
struct Xvfb {
    explicit Xvfb(const QStringList& extraArguments = {})
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(u"Xvfb"_s, QStringList{u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s} +
                                     extraArguments);
        QByteArray output;
        const QDeadlineTimer deadline(timeoutMs);
        while (!output.contains('\n') &&
               process.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            output += process.readAllStandardOutput();
        if (output.contains('\n'))
            display = ':' + output.trimmed();
    }
    ~Xvfb()
    {
        process.terminate();
        process.waitForFinished();
    }

    QProcess process;
    QByteArray display;
};

// The next event on the display, waiting at most until the deadline.
bool nextEvent(Display* display, XEvent& event, const QDeadlineTimer& deadline)
{
    while (XPending(display) == 0) {
        if (deadline.hasExpired())
            return false;
        pollfd descriptor{ConnectionNumber(display), POLLIN, 0};
        poll(&descriptor, 1, 100);
    }
    XNextEvent(display, &event);
    return true;
}

} // namespace

TEST(XTestKeyboardTest, ArrowsReachTheFocusedWindowInOrderAndNothingWhileAnotherSessionHasTheSeat)
{
    Xvfb server;
    ASSERT_FALSE(server.display.isEmpty()) << "Xvfb did not start (its messages are above)";

    // A client of its own maps a window, gives it the focus and reads its key events.
    Display* display = XOpenDisplay(server.display.constData());
    ASSERT_NE(display, nullptr);
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 200, 0, 0, 0);
    XSelectInput(display, window, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    // A press and release that a loaded machine pulls apart must not turn into repeats.
    XAutoRepeatOff(display);
    XMapWindow(display, window);
    const QDeadlineTimer deadline(timeoutMs);
    XEvent event;
    while (nextEvent(display, event, deadline) && event.type != MapNotify) {
    }
    ASSERT_EQ(event.type, MapNotify);
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);

    auto owned = std::make_unique<fakes::RecordingUinputSystemCalls>();
    const auto& calls = *owned;
    LinuxKeyEventServices keys({u"x11"_s, {}, server.display}, std::move(owned));
    int prompts = 0;
    LinuxAccessibility access(keys, [&prompts] { ++prompts; });
    EXPECT_TRUE(access.isProcessTrustedWithPrompt());
    EXPECT_EQ(prompts, 0);

    keys.setSessionActive(false);
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);
    keys.setSessionActive(true);
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);

    std::vector<std::pair<int, KeySym>> seen;
    while (seen.size() < 4 && nextEvent(display, event, deadline)) {
        if ((event.type == KeyPress || event.type == KeyRelease) && !event.xkey.send_event)
            seen.emplace_back(event.type, XLookupKeysym(&event.xkey, 0));
    }
    XCloseDisplay(display);
    EXPECT_EQ(seen, (std::vector<std::pair<int, KeySym>>{{KeyPress, XK_Right},
                                                         {KeyRelease, XK_Right},
                                                         {KeyPress, XK_Left},
                                                         {KeyRelease, XK_Left}}));
    EXPECT_TRUE(calls.calls.empty()) << "no virtual keyboard where XTest works";
}

TEST(XTestKeyboardTest, WithoutXTestOrWithTheServerGoneTheVirtualKeyboardIsUsed)
{
    Xvfb withoutXTest({u"-extension"_s, u"XTEST"_s});
    ASSERT_FALSE(withoutXTest.display.isEmpty());
    QByteArray gone;
    {
        Xvfb server;
        ASSERT_FALSE(server.display.isEmpty());
        gone = server.display;
    }
    for (const QByteArray& display : {withoutXTest.display, gone}) {
        LinuxKeyEventServices keys({u"x11"_s, {}, display},
                                   std::make_unique<fakes::RecordingUinputSystemCalls>());
        EXPECT_EQ(keys.backend(), KeyBackend::uinput) << display.constData();
    }
}
