// SPDX-License-Identifier: MIT
#include "Platform/Linux/LogindSession.hpp"
#include "BusService.hpp"

#include <QDBusMessage>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace quenlark::integration;
using namespace Qt::StringLiterals;

// dbusmock's logind on the private system bus holds this program's session, c1, which starts on
// a seat another user has switched to.
TEST(LogindSessionTest, FollowsWhetherTheOwnSessionHasTheSeat)
{
    const auto bus = QDBusConnection::systemBus();
    BusService logind(u"/usr/bin/python3"_s,
                      {u"-m"_s, u"dbusmock"_s, u"--system"_s, u"--template"_s, u"logind"_s},
                      u"org.freedesktop.login1"_s, bus);
    const auto mock = [&bus](const QString& path, const QString& method, const QVariantList& in) {
        auto call = QDBusMessage::createMethodCall(u"org.freedesktop.login1"_s, path,
                                                   u"org.freedesktop.DBus.Mock"_s, method);
        call.setArguments(in);
        return bus.call(call).arguments().value(0);
    };
    const QString path = mock(u"/org/freedesktop/login1"_s, u"AddSession"_s,
                              {u"c1"_s, u"seat0"_s, 1000u, u"presenter"_s, false})
                             .toString();
    ASSERT_FALSE(path.isEmpty()) << "logind's stand-in did not add the session";
    qputenv("XDG_SESSION_ID", "c1");

    LogindSession session(bus);
    QList<bool> announced;
    QObject::connect(&session, &LogindSession::activeChanged,
                     [&announced](bool active) { announced.append(active); });
    EXPECT_TRUE(waitUntil([&] { return !session.isActive(); })) << "read at start";
    for (const bool active : {true, false, true}) {
        mock(path, u"UpdateProperties"_s,
             {u"org.freedesktop.login1.Session"_s, QVariantMap{{u"Active"_s, active}}});
        EXPECT_TRUE(waitUntil([&] { return session.isActive() == active; })) << active;
    }
    EXPECT_EQ(announced, (QList<bool>{false, true, false, true}));
}
