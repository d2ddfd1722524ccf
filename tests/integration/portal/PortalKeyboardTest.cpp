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

const QString frontend = u"/usr/libexec/xdg-desktop-portal"_s;
const QString desktopPath = u"/org/freedesktop/portal/desktop"_s;
constexpr int answerTimeoutMs = 20000;
constexpr int pollMs = 2000;

enum Answer : uint { allowed = 0, refused = 1, dismissed = 2 };

// Runs the event loop until the condition holds, looking every 50 ms. Unlike QTest::qWaitFor it
// never sleeps between events, so D-Bus replies are handled as soon as they come.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
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

QList<int> press(int code)
{
    return {code, 1, code, 0};
}

// The real xdg-desktop-portal on the private session bus, in front of the scripted desktop
// (remote_desktop_backend.py), and a Wayland session's key services on top of it, where
// /dev/uinput may not be written: the portal is the only way in.
class PortalKeyboardTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!QFileInfo(frontend).isExecutable())
            GTEST_SKIP() << frontend.toStdString()
                         << " is missing (Debian package xdg-desktop-portal)";
        ASSERT_TRUE(desktop.startTemplate(
            false, u"org.freedesktop.impl.portal.desktop.quenlark"_s,
            QStringLiteral(QUENLARK_PORTAL_TEST_DIR "/remote_desktop_backend.py")));
        QProcessEnvironment environment;
        environment.insert(u"XDG_DESKTOP_PORTAL_DIR"_s,
                           QStringLiteral(QUENLARK_PORTAL_TEST_DIR "/portals"));
        environment.insert(u"XDG_CURRENT_DESKTOP"_s, u"quenlark-test"_s);
        ASSERT_TRUE(
            portalService.startProgram(frontend, u"org.freedesktop.portal.Desktop"_s, environment));

        auto calls = std::make_unique<fakes::RecordingUinputSystemCalls>();
        calls->openError = EACCES;
        portal.onRefused = [this] { ++refusals; };
        keys = std::make_unique<LinuxKeyEventServices>(
            SessionEnvironment{u"wayland"_s, u"wayland-0"_s, {}}, std::move(calls), &portal);
        access = std::make_unique<LinuxAccessibility>(*keys, [this] { ++grantDialogs; });
    }

    // Asks through the permission prompt, as the start-up and the grant action do, and returns
    // the trust once the desktop has answered.
    bool consent(Answer answer)
    {
        desktop.mock(desktopPath, u"SetAnswer"_s, {uint(answer)});
        EXPECT_FALSE(access->isProcessTrustedWithPrompt());
        EXPECT_TRUE(waitUntil([this] { return portal.state() != PortalKeyboard::State::asking; },
                              answerTimeoutMs));
        return access->isProcessTrusted();
    }

    QList<int> receivedKeys()
    {
        const auto reply = desktop.mock(desktopPath, u"Keys"_s);
        return reply.arguments().isEmpty() ? QList<int>{-1}
                                           : qdbus_cast<QList<int>>(reply.arguments().constFirst());
    }

    // The keys the desktop received once it has at least `count` codes and states.
    QList<int> waitForKeys(qsizetype count)
    {
        EXPECT_TRUE(waitUntil([&] { return receivedKeys().size() >= count; }, answerTimeoutMs));
        return receivedKeys();
    }

    uint consentDialogs()
    {
        return desktop.mock(desktopPath, u"ConsentDialogs"_s).arguments().value(0).toUInt();
    }

    integration::MockService desktop;
    integration::MockService portalService;
    fakes::InMemoryUserDefaults defaults;
    PortalKeyboard portal{defaults};
    std::unique_ptr<LinuxKeyEventServices> keys;
    std::unique_ptr<LinuxAccessibility> access;
    int refusals = 0;
    int grantDialogs = 0;
};

} // namespace

// xdg-desktop-portal 1.16 hands the session back as a string: this runs through that form.
TEST_F(PortalKeyboardTest, ConsentLetsArrowsThroughAsEvdevPressThenReleaseAlsoInABurst)
{
    EXPECT_EQ(keys->backend(), KeyBackend::portal);
    ASSERT_TRUE(consent(allowed));
    EXPECT_EQ(grantDialogs, 0) << "the desktop's dialog is the prompt";

    QList<int> expected;
    for (int click = 0; click < 300; ++click) {
        const bool next = click % 2 == 0;
        KeyInjector::injectArrowKey(*keys,
                                    next ? SlideCommand::nextSlide : SlideCommand::previousSlide);
        expected += press(next ? 106 : 105);
    }
    EXPECT_EQ(waitForKeys(expected.size()), expected);
    EXPECT_TRUE(defaults.values.isEmpty()) << "a version 1 portal has no restore token";
}

TEST_F(PortalKeyboardTest, RefusedOrDismissedConsentSendsNothingAndTheGrantAsksAgain)
{
    for (const Answer answer : {refused, dismissed}) {
        const int refusalsBefore = refusals;
        EXPECT_FALSE(consent(answer)) << answer;
        EXPECT_EQ(refusals, refusalsBefore + 1) << answer << ": the alternative is offered";
        KeyInjector::injectArrowKey(*keys, SlideCommand::nextSlide);
    }
    EXPECT_TRUE(consent(allowed)) << "the grant action asks the desktop again";
    EXPECT_EQ(consentDialogs(), 3u);
    EXPECT_EQ(grantDialogs, 0);
    KeyInjector::injectArrowKey(*keys, SlideCommand::previousSlide);
    EXPECT_EQ(waitForKeys(4), press(105)) << "nothing from before the consent";
}

TEST_F(PortalKeyboardTest, ASessionTheDesktopClosesEndsTrustWithinOnePoll)
{
    ASSERT_TRUE(consent(allowed));
    desktop.mock(desktopPath, u"CloseSessions"_s);
    EXPECT_TRUE(waitUntil([this] { return !access->isProcessTrusted(); }, pollMs));
    KeyInjector::injectArrowKey(*keys, SlideCommand::nextSlide);

    EXPECT_TRUE(consent(allowed)) << "a new consent opens a new session";
    KeyInjector::injectArrowKey(*keys, SlideCommand::previousSlide);
    EXPECT_EQ(waitForKeys(4), press(105)) << "nothing while the session was closed";
}

// Debian 12's portal speaks version 1; the restore token of version 2 is tried against a scripted
// frontend (remote_desktop_frontend.py), with each form the session handle may come in.
TEST(PortalKeyboardVersionTwoTest, TheRestoreTokenIsKeptAndSentAtTheNextStart)
{
    for (const QString& form : {u"path"_s, u"string"_s}) {
        integration::MockService frontend;
        ASSERT_TRUE(frontend.startTemplate(
            false, u"org.freedesktop.portal.Desktop"_s,
            QStringLiteral(QUENLARK_PORTAL_TEST_DIR "/remote_desktop_frontend.py")));
        frontend.mock(desktopPath, u"SetSessionHandleForm"_s, {form});
        const auto sent = [&](const QString& knob) {
            return frontend.mock(desktopPath, knob).arguments().value(0);
        };
        fakes::InMemoryUserDefaults defaults;
        for (int start = 1; start <= 2; ++start) {
            PortalKeyboard portal(defaults);
            ASSERT_TRUE(portal.isAvailable()) << form.toStdString();
            EXPECT_EQ(portal.version(), 2u);
            portal.requestConsent();
            ASSERT_TRUE(waitUntil([&] { return portal.state() == PortalKeyboard::State::started; },
                                  answerTimeoutMs))
                << form.toStdString() << " start " << start;
            EXPECT_EQ(defaults.stringForKey(u"portalRestoreToken"_s), u"token-%1"_s.arg(start));
            portal.post(ArrowKey::right, true);
            portal.post(ArrowKey::right, false);
            EXPECT_TRUE(waitUntil(
                [&] { return qdbus_cast<QList<int>>(sent(u"Keys"_s)).size() == 4 * start; },
                answerTimeoutMs))
                << form.toStdString() << ": keys go to the session in either form";
        }
        EXPECT_EQ(qdbus_cast<QStringList>(sent(u"RestoreTokensSent"_s)),
                  (QStringList{{}, u"token-1"_s}))
            << form.toStdString();
        EXPECT_EQ(qdbus_cast<QList<uint>>(sent(u"PersistModesSent"_s)), (QList<uint>{2, 2}));
    }
}
