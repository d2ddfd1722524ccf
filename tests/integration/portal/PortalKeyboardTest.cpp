// SPDX-License-Identifier: MIT
#include "Platform/Linux/PortalKeyboard.hpp"
#include "BusService.hpp"
#include "InMemoryUserDefaults.hpp"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace quenlark::integration;
using namespace Qt::StringLiterals;

namespace {

// A call on the scripted desktop's org.freedesktop.DBus.Mock interface; its first answer.
QVariant mock(const QString& method, const QVariantList& arguments = {})
{
    auto message = QDBusMessage::createMethodCall(u"org.freedesktop.impl.portal.desktop.quenlark"_s,
                                                  u"/org/freedesktop/portal/desktop"_s,
                                                  u"org.freedesktop.DBus.Mock"_s, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message).arguments().value(0);
}

} // namespace

// The real xdg-desktop-portal (1.16 hands the session back as a string) in front of a scripted
// desktop (remote_desktop_backend.py), which it finds through portals/quenlark-test.portal.
TEST(PortalKeyboardTest, KeysFlowFromTheDesktopsConsentUntilItClosesTheSession)
{
    const QString frontend = u"/usr/libexec/xdg-desktop-portal"_s;
    if (!QFileInfo(frontend).isExecutable())
        GTEST_SKIP() << "xdg-desktop-portal is missing (Debian package xdg-desktop-portal)";
    BusService desktop(u"/usr/bin/python3"_s,
                       {u"-m"_s, u"dbusmock"_s, u"--template"_s,
                        QUENLARK_PORTAL_TEST_DIR "/remote_desktop_backend.py"_L1},
                       u"org.freedesktop.impl.portal.desktop.quenlark"_s);
    qputenv("XDG_DESKTOP_PORTAL_DIR", QUENLARK_PORTAL_TEST_DIR "/portals");
    qputenv("XDG_CURRENT_DESKTOP", "quenlark-test");
    BusService portalFrontend(frontend, {}, u"org.freedesktop.portal.Desktop"_s);

    fakes::InMemoryUserDefaults defaults;
    PortalKeyboard portal(defaults);
    int refusals = 0;
    portal.onRefused = [&refusals] { ++refusals; };
    ASSERT_TRUE(portal.isAvailable()) << "the portal or the scripted desktop did not start";
    // True when the desktop's answer started the session.
    const auto consent = [&](uint answer) {
        mock(u"SetAnswer"_s, {answer});
        portal.requestConsent();
        EXPECT_TRUE(waitUntil([&] { return portal.state() != PortalKeyboard::State::asking; }));
        return portal.state() == PortalKeyboard::State::started;
    };
    const auto keysReceived = [] { return qdbus_cast<QList<int>>(mock(u"Keys"_s)); };

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
    mock(u"CloseSessions"_s);
    EXPECT_TRUE(waitUntil([&] { return portal.state() == PortalKeyboard::State::idle; }));
    portal.post(ArrowKey::right, true);
    EXPECT_TRUE(consent(0));
    portal.post(ArrowKey::left, true);
    expected += {KEY_LEFT, 1};
    EXPECT_TRUE(waitUntil([&] { return keysReceived().size() >= expected.size(); }));
    EXPECT_EQ(keysReceived(), expected);
    EXPECT_EQ(mock(u"ConsentDialogs"_s).toUInt(), 4u);
}
