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

const QString desktopPath = u"/org/freedesktop/portal/desktop"_s;
constexpr int timeoutMs = 20000;

// Runs the event loop until the condition holds. Unlike QTest::qWaitFor it never sleeps between
// events, so D-Bus replies are handled as soon as they come.
bool waitUntil(const std::function<bool()>& condition, int timeout = timeoutMs)
{
    const QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Every key code and state the scripted desktop received, flattened.
QList<int> keysReceived(integration::MockService& desktop)
{
    return qdbus_cast<QList<int>>(desktop.mock(desktopPath, u"Keys"_s).arguments().value(0));
}

} // namespace

// The real xdg-desktop-portal (1.16 hands the session back as a string) on the private session
// bus, in front of a scripted desktop (remote_desktop_backend.py), under a Wayland session's keys
// where /dev/uinput may not be written: the portal is the only way in.
TEST(PortalKeyboardTest, KeysFlowFromTheDesktopsConsentUntilItClosesTheSession)
{
    const QString frontend = u"/usr/libexec/xdg-desktop-portal"_s;
    if (!QFileInfo(frontend).isExecutable())
        GTEST_SKIP() << "xdg-desktop-portal is missing (Debian package xdg-desktop-portal)";
    integration::MockService desktop, portalService;
    ASSERT_TRUE(desktop.startTemplate(
        false, u"org.freedesktop.impl.portal.desktop.quenlark"_s,
        QStringLiteral(QUENLARK_PORTAL_TEST_DIR "/remote_desktop_backend.py")));
    QProcessEnvironment environment;
    environment.insert(u"XDG_DESKTOP_PORTAL_DIR"_s,
                       QStringLiteral(QUENLARK_PORTAL_TEST_DIR "/portals"));
    environment.insert(u"XDG_CURRENT_DESKTOP"_s, u"quenlark-test"_s);
    ASSERT_TRUE(
        portalService.startProgram(frontend, u"org.freedesktop.portal.Desktop"_s, environment));

    fakes::InMemoryUserDefaults defaults;
    PortalKeyboard portal(defaults);
    int refusals = 0;
    int grantDialogs = 0;
    portal.onRefused = [&refusals] { ++refusals; };
    auto calls = std::make_unique<fakes::RecordingUinputSystemCalls>();
    calls->openError = EACCES;
    LinuxKeyEventServices keys({u"wayland"_s, u"wayland-0"_s, {}}, std::move(calls), &portal);
    LinuxAccessibility access(keys, [&grantDialogs] { ++grantDialogs; });
    EXPECT_EQ(keys.backend(), KeyBackend::portal);
    // Asks as the start-up and the grant action do; true when the desktop's answer gave trust.
    const auto consent = [&](uint answer) {
        desktop.mock(desktopPath, u"SetAnswer"_s, {answer});
        EXPECT_FALSE(access.isProcessTrustedWithPrompt());
        EXPECT_TRUE(waitUntil([&] { return portal.state() != PortalKeyboard::State::asking; }));
        return access.isProcessTrusted();
    };

    // Refused, then dismissed: nothing is typed, and the other way in is offered each time.
    for (const uint answer : {1u, 2u}) {
        EXPECT_FALSE(consent(answer)) << answer;
        KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    }
    EXPECT_EQ(refusals, 2);

    // Allowed: a burst arrives in order, each press before its release, although the portal
    // handles calls concurrently.
    ASSERT_TRUE(consent(0));
    QList<int> expected;
    for (int click = 0; click < 300; ++click) {
        const bool next = click % 2 == 0;
        KeyInjector::injectArrowKey(keys,
                                    next ? SlideCommand::nextSlide : SlideCommand::previousSlide);
        expected += {next ? KEY_RIGHT : KEY_LEFT, 1, next ? KEY_RIGHT : KEY_LEFT, 0};
    }
    EXPECT_TRUE(waitUntil([&] { return keysReceived(desktop).size() >= expected.size(); }));

    // The desktop ends the session: trust ends within a poll, and keys wait for a new consent.
    desktop.mock(desktopPath, u"CloseSessions"_s);
    EXPECT_TRUE(waitUntil([&] { return !access.isProcessTrusted(); }, 2000));
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_TRUE(consent(0));
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);
    expected += {KEY_LEFT, 1, KEY_LEFT, 0};
    EXPECT_TRUE(waitUntil([&] { return keysReceived(desktop).size() >= expected.size(); }));
    EXPECT_EQ(keysReceived(desktop), expected);
    EXPECT_EQ(desktop.mock(desktopPath, u"ConsentDialogs"_s).arguments().value(0).toUInt(), 4u);
    EXPECT_EQ(grantDialogs, 0) << "the desktop's dialog is the prompt";
    EXPECT_TRUE(defaults.values.isEmpty()) << "a version 1 portal has no restore token";
}

// Version 2's restore token spares the user the question at the next login. Debian 12's portal
// speaks version 1, so a scripted frontend (remote_desktop_frontend.py) stands in, handing the
// session back in either form.
TEST(PortalKeyboardTest, AVersionTwoRestoreTokenIsKeptAndSentAtTheNextStart)
{
    for (const QString& form : {u"path"_s, u"string"_s}) {
        integration::MockService frontend;
        ASSERT_TRUE(frontend.startTemplate(
            false, u"org.freedesktop.portal.Desktop"_s,
            QStringLiteral(QUENLARK_PORTAL_TEST_DIR "/remote_desktop_frontend.py")));
        frontend.mock(desktopPath, u"SetSessionHandleForm"_s, {form});
        fakes::InMemoryUserDefaults defaults;
        for (int start = 1; start <= 2; ++start) {
            PortalKeyboard portal(defaults);
            ASSERT_TRUE(portal.isAvailable());
            portal.requestConsent();
            ASSERT_TRUE(
                waitUntil([&] { return portal.state() == PortalKeyboard::State::started; }));
            EXPECT_EQ(defaults.stringForKey(u"portalRestoreToken"_s), u"token-%1"_s.arg(start));
            portal.post(ArrowKey::right, true);
            EXPECT_TRUE(waitUntil([&] { return keysReceived(frontend).size() == 2 * start; }))
                << form.toStdString();
        }
        const auto sent = [&](const QString& knob) {
            return frontend.mock(desktopPath, knob).arguments().value(0);
        };
        EXPECT_EQ(qdbus_cast<QStringList>(sent(u"RestoreTokensSent"_s)),
                  (QStringList{{}, u"token-1"_s}));
        EXPECT_EQ(qdbus_cast<QList<uint>>(sent(u"PersistModesSent"_s)), (QList<uint>{2, 2}));
    }
}
