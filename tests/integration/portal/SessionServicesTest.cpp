// SPDX-License-Identifier: MIT
#include "BusService.hpp"
#include "InMemoryUserDefaults.hpp"
#include "Platform/Linux/Keys/LogindSession.hpp"
#include "Platform/Linux/Keys/PortalKeyboard.hpp"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace quenlark::integration;
using namespace Qt::StringLiterals;

namespace {

const QString scriptedDesktop = u"org.freedesktop.impl.portal.desktop.quenlark"_s;

// A call on a stand-in's org.freedesktop.DBus.Mock interface; its first answer.
QVariant mock(const QString& method, const QVariantList& arguments = {},
              const QString& service = scriptedDesktop,
              const QString& path = u"/org/freedesktop/portal/desktop"_s,
              const QDBusConnection& bus = QDBusConnection::sessionBus())
{
    auto message =
        QDBusMessage::createMethodCall(service, path, u"org.freedesktop.DBus.Mock"_s, method);
    message.setArguments(arguments);
    return bus.call(message).arguments().value(0);
}

const QString portalName = u"org.freedesktop.portal.Desktop"_s;

// Waits on a plain event loop, as a program's own loop that runs no nested one: each pass handles
// what is queued, then sleeps until more comes. A timer wakes it to look at the deadline.
bool waitPlainly(const std::function<bool()>& condition)
{
    const QDeadlineTimer deadline(20000);
    QTimer wake;
    wake.start(50);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return condition();
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
                       scriptedDesktop);
    qputenv("XDG_DESKTOP_PORTAL_DIR", QUENLARK_PORTAL_TEST_DIR "/portals");
    qputenv("XDG_CURRENT_DESKTOP", "quenlark-test");
    BusService portalFrontend(frontend, {}, portalName);

    fakes::InMemoryUserDefaults defaults;
    PortalKeyboard portal(defaults);
    QSignalSpy refusals(&portal, &PortalKeyboard::consentRefused);
    portal.probe();
    ASSERT_TRUE(waitUntil([&] { return portal.isAvailable(); }))
        << "the portal or the scripted desktop did not start";
    const auto consent = [&](uint answer) {
        mock(u"SetAnswer"_s, {answer});
        portal.requestConsent();
        EXPECT_TRUE(waitUntil([&] { return portal.state() != PortalKeyboard::State::asking; }));
        return portal.state() == PortalKeyboard::State::started;
    };
    const auto keysReceived = [] { return qdbus_cast<QList<int>>(mock(u"Keys"_s)); };

    // Refused: nothing is typed, and the other way in is offered.
    EXPECT_FALSE(consent(1));
    portal.post(ArrowKey::right, true);
    EXPECT_EQ(refusals.count(), 1);

    // Allowed: a burst arrives in order although the portal handles calls concurrently. A flood
    // keeps the presses that fit the bound, drops the rest with their releases, said once per run.
    ASSERT_TRUE(consent(0));
    QList<int> expected;
    testing::internal::CaptureStdout();
    for (const int clicks : {300, 10, 300}) {
        for (int click = 0; click < clicks; ++click) {
            const bool right = click % 2 == 0;
            portal.post(right ? ArrowKey::right : ArrowKey::left, true);
            portal.post(right ? ArrowKey::right : ArrowKey::left, false);
            if (click < int(PortalKeyboard::maxWaitingPresses))
                expected += {right ? KEY_RIGHT : KEY_LEFT, 1, right ? KEY_RIGHT : KEY_LEFT, 0};
        }
        EXPECT_TRUE(waitUntil([&] { return keysReceived().size() >= expected.size(); }));
    }
    EXPECT_EQ(QString::fromStdString(testing::internal::GetCapturedStdout()).count(u"[Portal] "_s),
              2);

    // The desktop ends the session: keys wait for a new consent.
    mock(u"CloseSessions"_s);
    EXPECT_TRUE(waitUntil([&] { return portal.state() == PortalKeyboard::State::idle; }));
    portal.post(ArrowKey::right, true);
    EXPECT_TRUE(consent(0));
    portal.post(ArrowKey::left, true);
    expected += {KEY_LEFT, 1};
    EXPECT_TRUE(waitUntil([&] { return keysReceived().size() >= expected.size(); }));
    EXPECT_EQ(keysReceived(), expected);
    EXPECT_EQ(mock(u"ConsentDialogs"_s).toUInt(), 3u);
}

// Debian 12's portal speaks version 1: a scripted version 2 frontend (remote_desktop_frontend.py)
// stands in. Its Response may come before the call's reply or after it, and a refusal ends the
// session too; on a plain event loop each answer counts once and for its own request.
TEST(PortalKeyboardTest, VersionTwoKeepsTheRestoreTokenAndEachAnswerCountsOnceForItsOwnRequest)
{
    const BusService scripted(u"/usr/bin/python3"_s,
                              {u"-m"_s, u"dbusmock"_s, u"--template"_s,
                               QUENLARK_PORTAL_TEST_DIR "/remote_desktop_frontend.py"_L1},
                              portalName);
    fakes::InMemoryUserDefaults defaults;
    for (int start = 1; start <= 2; ++start) {
        PortalKeyboard portal(defaults);
        portal.probe();
        ASSERT_TRUE(waitUntil([&] { return portal.isAvailable(); }));
        portal.requestConsent();
        ASSERT_TRUE(waitUntil([&] { return portal.state() == PortalKeyboard::State::started; }));
        EXPECT_EQ(defaults.stringForKey(u"portalRestoreToken"_s), u"token-%1"_s.arg(start));
    }
    EXPECT_EQ(qdbus_cast<QStringList>(mock(u"RestoreTokensSent"_s, {}, portalName)),
              (QStringList{{}, u"token-1"_s}));
    EXPECT_EQ(qdbus_cast<QList<uint>>(mock(u"PersistModesSent"_s, {}, portalName)),
              (QList<uint>{2, 2}))
        << "kept until the user revokes it";

    for (int round = 0; round < 40; ++round) {
        const QString order = round % 2 == 0 ? u"response-first"_s : u"reply-first"_s;
        SCOPED_TRACE(order.toStdString());
        mock(u"SetOrder"_s, {order}, portalName);
        const uint dialogs = mock(u"Starts"_s, {}, portalName).toUInt();
        PortalKeyboard portal(defaults);
        QSignalSpy refusals(&portal, &PortalKeyboard::consentRefused);
        portal.probe();
        ASSERT_TRUE(waitPlainly([&] { return portal.isAvailable(); }));
        // Refused or dismissed, then allowed at once.
        for (const uint answer : {1u + round / 2 % 2, 0u}) {
            mock(u"SetAnswer"_s, {answer}, portalName);
            portal.requestConsent();
            EXPECT_TRUE(waitPlainly([&] {
                return portal.state() != PortalKeyboard::State::asking;
            })) << answer;
        }
        EXPECT_EQ(portal.state(), PortalKeyboard::State::started);
        EXPECT_EQ(refusals.count(), 1);
        EXPECT_EQ(mock(u"Starts"_s, {}, portalName).toUInt(), dialogs + 2);
    }
}

namespace {

// dbusmock's logind on the private system bus.
class LogindSessionTest : public testing::Test {
protected:
    // A session on seat0, the presenter's unless told, which takes the seat; its object path.
    QString addSession(const QString& id, bool active, uint user = 1000)
    {
        return mock(u"AddSession"_s,
                    {id, u"seat0"_s, user, u"user"_s + QString::number(user), active}, logind,
                    u"/org/freedesktop/login1"_s, bus)
            .toString();
    }

    const QDBusConnection bus = QDBusConnection::systemBus();
    const QString logind = u"org.freedesktop.login1"_s;
    const BusService service{u"/usr/bin/python3"_s,
                             {u"-m"_s, u"dbusmock"_s, u"--system"_s, u"--template"_s, u"logind"_s},
                             logind,
                             bus};
};

} // namespace

// This program's session, c1, starts on a seat another user has switched to.
TEST_F(LogindSessionTest, FollowsWhetherTheOwnSessionHasTheSeat)
{
    const QString path = addSession(u"c1"_s, false);
    ASSERT_FALSE(path.isEmpty()) << "logind's stand-in did not add the session";
    qputenv("XDG_SESSION_ID", "c1");

    LogindSession session(bus);
    QList<bool> announced;
    QObject::connect(&session, &LogindSession::activeChanged,
                     [&announced](bool active) { announced.append(active); });
    EXPECT_EQ(session.active(), std::nullopt) << "known before logind answered";
    EXPECT_TRUE(waitUntil([&] { return session.active() == false; })) << "read at start";
    for (const bool active : {true, false, true}) {
        mock(u"UpdateProperties"_s,
             {u"org.freedesktop.login1.Session"_s, QVariantMap{{u"Active"_s, active}}}, logind,
             path, bus);
        EXPECT_TRUE(waitUntil([&] { return session.active() == active; })) << active;
    }
    EXPECT_EQ(announced, (QList<bool>{false, true, false, true}));

    // A stale session id: keys keep flowing, said once; a session that appears later is followed.
    qputenv("XDG_SESSION_ID", "c2");
    testing::internal::CaptureStdout();
    LogindSession stale(bus);
    QTest::qWait(4500);
    EXPECT_EQ(stale.active(), true);
    addSession(u"c2"_s, false);
    EXPECT_TRUE(waitUntil([&] { return stale.active() == false; }));
    // Where logind does not run, keys flow, said once, and nothing asks the bus to start it.
    LogindSession none(QDBusConnection::sessionBus());
    EXPECT_TRUE(waitUntil([&] { return none.active() == true; }));
    QTest::qWait(2500);
    const QString said = QString::fromStdString(testing::internal::GetCapturedStdout());
    EXPECT_EQ(said.count(u"[Session] logind did not tell"_s), 1) << said.toStdString();
    EXPECT_EQ(said.count(u"[Session] logind is not running"_s), 1) << said.toStdString();
}

// logind calls a session without a seat (ssh, tmux) active throughout, yet keys typed from there
// reach whoever has seat0: only the user's own session there lets them through.
TEST_F(LogindSessionTest, ASessionWithoutASeatFollowsWhoHasSeatZero)
{
    // The stand-in's own Set, which says what changed.
    const auto set = [&](const QString& path, const char* interface, const QString& name,
                         const QVariant& value) {
        auto message = QDBusMessage::createMethodCall(
            logind, path, u"org.freedesktop.DBus.Properties"_s, u"Set"_s);
        message << u"org.freedesktop.login1."_s + QLatin1StringView(interface) << name
                << QVariant::fromValue(QDBusVariant(value));
        EXPECT_EQ(bus.call(message).type(), QDBusMessage::ReplyMessage) << name.toStdString();
    };
    // logind's (so) pair: an id and an object path, "" and "/" for none.
    const auto pair = [](const QString& id, const QString& path) {
        QDBusArgument argument;
        argument.beginStructure();
        argument << id << QDBusObjectPath(path);
        argument.endStructure();
        return QVariant::fromValue(argument);
    };
    const QString seat = u"/org/freedesktop/login1/seat/seat0"_s;
    const QString remote = addSession(u"c1"_s, true);
    ASSERT_FALSE(remote.isEmpty()) << "logind's stand-in did not add the session";
    set(remote, "Session", u"Seat"_s, pair({}, u"/"_s));
    const QString stranger = addSession(u"c3"_s, false, 1001);
    const QString graphical = addSession(u"c2"_s, true);
    qputenv("XDG_SESSION_ID", "c1");

    LogindSession session(bus);
    QList<bool> announced;
    QObject::connect(&session, &LogindSession::activeChanged,
                     [&announced](bool active) { announced.append(active); });
    EXPECT_TRUE(waitUntil([&] { return session.active() == true; })) << "read at start";
    // Another user switches in and out; then the seat has nobody, and the own seatless session
    // stays active in logind's eyes throughout.
    const std::pair<QString, QString> turns[] = {
        {u"c3"_s, stranger}, {u"c2"_s, graphical}, {{}, u"/"_s}, {u"c2"_s, graphical}};
    for (const auto& [id, path] : turns) {
        set(seat, "Seat", u"ActiveSession"_s, pair(id, path));
        EXPECT_TRUE(waitUntil([&] { return session.active() == (id == u"c2"_s); }))
            << id.toStdString();
    }
    EXPECT_EQ(announced, (QList<bool>{true, false, true, false, true}));
}
