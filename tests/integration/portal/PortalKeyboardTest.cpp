// SPDX-License-Identifier: MIT
#include "Platform/Linux/PortalKeyboard.hpp"
#include "Core/KeyInjector.hpp"
#include "InMemoryUserDefaults.hpp"
#include "MockService.hpp"
#include "Platform/Linux/LinuxAccessibility.hpp"
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <QDBusArgument>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

// Runs the event loop until the condition holds. Unlike QTest::qWaitFor it never sleeps between
// events, so D-Bus replies are handled as soon as they come.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 20000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

} // namespace

// The real xdg-desktop-portal (1.16 hands the session back as a string) on the private session
// bus, in front of a scripted desktop (remote_desktop_backend.py), under a Wayland session's keys
// where /dev/uinput cannot be written: the portal is the only way in.
TEST(PortalKeyboardTest, KeysFlowFromTheDesktopsConsentUntilItClosesTheSession)
{
    const QString frontend = u"/usr/libexec/xdg-desktop-portal"_s;
    if (!QFileInfo(frontend).isExecutable())
        GTEST_SKIP() << "xdg-desktop-portal is missing (Debian package xdg-desktop-portal)";
    const QString desktopPath = u"/org/freedesktop/portal/desktop"_s;
    integration::MockService desktop(QDBusConnection::sessionBus(),
                                     u"org.freedesktop.impl.portal.desktop.quenlark"_s);
    ASSERT_TRUE(desktop.startTemplate(QUENLARK_PORTAL_TEST_DIR "/remote_desktop_backend.py"_L1));
    integration::MockService portalService(QDBusConnection::sessionBus(),
                                           u"org.freedesktop.portal.Desktop"_s);
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"XDG_DESKTOP_PORTAL_DIR"_s, QUENLARK_PORTAL_TEST_DIR "/portals"_L1);
    environment.insert(u"XDG_CURRENT_DESKTOP"_s, u"quenlark-test"_s);
    portalService.process.setProcessEnvironment(environment);
    ASSERT_TRUE(portalService.start(frontend));

    fakes::InMemoryUserDefaults defaults;
    PortalKeyboard portal(defaults);
    int refusals = 0;
    int grantDialogs = 0;
    portal.onRefused = [&refusals] { ++refusals; };
    auto calls = std::make_unique<fakes::RecordingUinputSystemCalls>();
    calls->openError = EACCES;
    LinuxKeyEventServices keys({u"wayland"_s, u"wayland-0"_s, {}}, std::move(calls), &portal);
    LinuxAccessibility access(keys, [&grantDialogs] { ++grantDialogs; });
    // Asks as the start-up and the grant action do; true when the desktop's answer gave trust.
    const auto consent = [&](uint answer) {
        desktop.mock(desktopPath, u"SetAnswer"_s, {answer});
        EXPECT_FALSE(access.isProcessTrustedWithPrompt());
        EXPECT_TRUE(waitUntil([&] { return portal.state() != PortalKeyboard::State::asking; }));
        return access.isProcessTrusted();
    };
    const auto keysReceived = [&] {
        return qdbus_cast<QList<int>>(desktop.mock(desktopPath, u"Keys"_s).arguments().value(0));
    };

    // Refused, then dismissed: nothing is typed, and the other way in is offered each time.
    for (const uint answer : {1u, 2u}) {
        EXPECT_FALSE(consent(answer)) << answer;
        KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    }
    EXPECT_EQ(refusals, 2);

    // Allowed: a burst arrives in order, each press before its release, although the portal
    // handles calls concurrently. Nothing is typed while another session has the seat.
    ASSERT_TRUE(consent(0));
    keys.setSessionActive(false);
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    keys.setSessionActive(true);
    QList<int> expected;
    for (int click = 0; click < 300; ++click) {
        const int key = click % 2 == 0 ? KEY_RIGHT : KEY_LEFT;
        KeyInjector::injectArrowKey(keys, key == KEY_RIGHT ? SlideCommand::nextSlide
                                                           : SlideCommand::previousSlide);
        expected += {key, 1, key, 0};
    }
    EXPECT_TRUE(waitUntil([&] { return keysReceived().size() >= expected.size(); }));

    // The desktop ends the session: trust ends within a poll, and keys wait for a new consent.
    desktop.mock(desktopPath, u"CloseSessions"_s);
    EXPECT_TRUE(waitUntil([&] { return !access.isProcessTrusted(); }, 2000));
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_TRUE(consent(0));
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);
    expected += {KEY_LEFT, 1, KEY_LEFT, 0};
    EXPECT_TRUE(waitUntil([&] { return keysReceived().size() >= expected.size(); }));
    EXPECT_EQ(keysReceived(), expected);
    EXPECT_EQ(desktop.mock(desktopPath, u"ConsentDialogs"_s).arguments().value(0).toUInt(), 4u);
    EXPECT_EQ(grantDialogs, 0) << "the desktop's dialog is the prompt";
    EXPECT_TRUE(defaults.values.isEmpty()) << "a version 1 portal has no restore token";
}
