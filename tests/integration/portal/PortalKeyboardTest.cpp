// SPDX-License-Identifier: MIT
#include "Platform/Linux/PortalKeyboard.hpp"
#include "InMemoryUserDefaults.hpp"
#include "MockService.hpp"

#include <QDBusArgument>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

// Runs a nested event loop until the condition holds: unlike QTest::qWaitFor it never sleeps, so
// each D-Bus reply is handled as soon as it comes, and the way the program itself runs them.
bool waitUntil(const std::function<bool()>& condition)
{
    const QDeadlineTimer deadline(20000);
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
// bus, in front of a scripted desktop (remote_desktop_backend.py).
TEST(PortalKeyboardTest, KeysFlowFromTheDesktopsConsentUntilItClosesTheSession)
{
    const QString frontend = u"/usr/libexec/xdg-desktop-portal"_s;
    if (!QFileInfo(frontend).isExecutable())
        GTEST_SKIP() << "xdg-desktop-portal is missing (Debian package xdg-desktop-portal)";
    const QString desktopPath = u"/org/freedesktop/portal/desktop"_s;
    integration::MockService desktop(QDBusConnection::sessionBus(),
                                     u"org.freedesktop.impl.portal.desktop.quenlark"_s);
    ASSERT_TRUE(desktop.start(u"/usr/bin/python3"_s,
                              {u"-m"_s, u"dbusmock"_s, u"--template"_s,
                               QUENLARK_PORTAL_TEST_DIR "/remote_desktop_backend.py"_L1}));
    integration::MockService portalService(QDBusConnection::sessionBus(),
                                           u"org.freedesktop.portal.Desktop"_s);
    // The frontend finds the scripted desktop through portals/quenlark-test.portal.
    qputenv("XDG_DESKTOP_PORTAL_DIR", QUENLARK_PORTAL_TEST_DIR "/portals");
    qputenv("XDG_CURRENT_DESKTOP", "quenlark-test");
    ASSERT_TRUE(portalService.start(frontend, {}));

    fakes::InMemoryUserDefaults defaults;
    PortalKeyboard portal(defaults);
    int refusals = 0;
    portal.onRefused = [&refusals] { ++refusals; };
    ASSERT_TRUE(portal.isAvailable());
    // True when the desktop's answer started the session.
    const auto consent = [&](uint answer) {
        desktop.mock(desktopPath, u"SetAnswer"_s, {answer});
        portal.requestConsent();
        EXPECT_TRUE(waitUntil([&] { return portal.state() != PortalKeyboard::State::asking; }));
        return portal.state() == PortalKeyboard::State::started;
    };
    const auto keysReceived = [&] {
        return qdbus_cast<QList<int>>(desktop.mock(desktopPath, u"Keys"_s).arguments().value(0));
    };

    // Refused, then dismissed: nothing is typed, and the other way in is offered each time.
    for (const uint answer : {1u, 2u}) {
        EXPECT_FALSE(consent(answer)) << answer;
        portal.post(ArrowKey::right, true);
    }
    EXPECT_EQ(refusals, 2);

    // Allowed: a burst arrives in order, each press before its release, although the portal
    // handles calls concurrently.
    ASSERT_TRUE(consent(0));
    QList<int> expected;
    for (int click = 0; click < 300; ++click) {
        const bool right = click % 2 == 0;
        portal.post(right ? ArrowKey::right : ArrowKey::left, true);
        portal.post(right ? ArrowKey::right : ArrowKey::left, false);
        expected += {right ? KEY_RIGHT : KEY_LEFT, 1, right ? KEY_RIGHT : KEY_LEFT, 0};
    }
    EXPECT_TRUE(waitUntil([&] { return keysReceived().size() >= expected.size(); }));

    // The desktop ends the session: keys wait for a new consent.
    desktop.mock(desktopPath, u"CloseSessions"_s);
    EXPECT_TRUE(waitUntil([&] { return portal.state() == PortalKeyboard::State::idle; }));
    portal.post(ArrowKey::right, true);
    EXPECT_TRUE(consent(0));
    portal.post(ArrowKey::left, true);
    expected += {KEY_LEFT, 1};
    EXPECT_TRUE(waitUntil([&] { return keysReceived().size() >= expected.size(); }));
    EXPECT_EQ(keysReceived(), expected);
    EXPECT_EQ(desktop.mock(desktopPath, u"ConsentDialogs"_s).arguments().value(0).toUInt(), 4u);
}
