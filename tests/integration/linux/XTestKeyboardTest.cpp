// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/XTestKeyboard.hpp"
#include "Core/KeyInjector.hpp"
#include "Platform/Linux/Keys/LinuxKeyEventServices.hpp"
#include "Platform/Linux/Permission/LinuxAccessibility.hpp"

#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

// Last: Xlib's macros (None, KeyPress, Bool, ...) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

using namespace quenlark;
using namespace Qt::StringLiterals;

// On a private X server, where the root window has the focus and takes the keys.
TEST(XTestKeyboardTest,
     ArrowsReachTheFocusInOrderAndNothingWhileAnotherSessionHasTheSeatOrThatIsNotKnown)
{
    // With -displayfd the server takes a free display and writes its number once it is ready. It
    // is killed as the test ends, after every client: Xlib ends a process whose server went first.
    QProcess xvfb;
    xvfb.start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s});
    QByteArray number;
    while (!number.endsWith('\n') && xvfb.waitForReadyRead(20000))
        number += xvfb.readAllStandardOutput();
    Display* display = XOpenDisplay(':' + number.trimmed());
    ASSERT_NE(display, nullptr) << "Xvfb did not start: " << xvfb.readAllStandardError().data();
    XSelectInput(display, DefaultRootWindow(display), KeyPressMask | KeyReleaseMask);
    // A press and release that a loaded machine pulls apart must not turn into repeats.
    XAutoRepeatOff(display);
    XSync(display, False);

    const SessionEnvironment x11{u"x11"_s, {}, ':' + number.trimmed()};
    KeyBackendList backends;
    backends.push_back(std::make_unique<XTestKeyboard>(x11.display));
    LinuxKeyEventServices keys(x11, std::move(backends));
    const auto prompt = [](auto) { ADD_FAILURE() << "XTest needs no grant"; };
    EXPECT_TRUE(LinuxAccessibility(keys, prompt).isProcessTrustedWithPrompt());
    for (const std::optional<bool> held : {std::optional<bool>(false), std::optional<bool>()}) {
        keys.setSessionActive(held);
        KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    }
    keys.setSessionActive(true);
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);

    std::vector<std::pair<int, KeySym>> seen;
    XEvent event;
    const auto allSeen = [&] {
        while (XCheckMaskEvent(display, KeyPressMask | KeyReleaseMask, &event))
            seen.emplace_back(event.type, XLookupKeysym(&event.xkey, 0));
        return seen.size() >= 4;
    };
    EXPECT_TRUE(QTest::qWaitFor(allSeen, 20000));
    XCloseDisplay(display);
    EXPECT_EQ(seen, (std::vector<std::pair<int, KeySym>>{{KeyPress, XK_Right},
                                                         {KeyRelease, XK_Right},
                                                         {KeyPress, XK_Left},
                                                         {KeyRelease, XK_Left}}));
}
