// SPDX-License-Identifier: MIT
#include "Platform/Linux/LogindSession.hpp"
#include "MockService.hpp"

#include <QTest>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace Qt::StringLiterals;

// dbusmock's logind on the private system bus holds this program's session, c1, which starts out
// behind the greeter and then gains and loses the seat.
TEST(LogindSessionTest, FollowsWhetherThisSessionIsTheActiveOneOnItsSeat)
{
    integration::MockService logind(QDBusConnection::systemBus(), u"org.freedesktop.login1"_s);
    ASSERT_TRUE(logind.start(u"/usr/bin/python3"_s,
                             {u"-m"_s, u"dbusmock"_s, u"--template"_s, u"logind"_s}));
    const auto added = logind.mock(u"/org/freedesktop/login1"_s, u"AddSession"_s,
                                   {u"c1"_s, u"seat0"_s, 1000u, u"presenter"_s, false});
    const QString path = added.arguments().value(0).toString();
    ASSERT_FALSE(path.isEmpty()) << added.errorMessage().toStdString();
    qputenv("XDG_SESSION_ID", "c1");

    LogindSession session;
    QList<bool> changes;
    QObject::connect(&session, &LogindSession::activeChanged, &session,
                     [&changes](bool active) { changes.append(active); });
    for (const bool active : {false, true, false}) {
        if (!changes.isEmpty())
            logind.mock(path, u"UpdateProperties"_s,
                        {u"org.freedesktop.login1.Session"_s, QVariantMap{{u"Active"_s, active}}});
        EXPECT_TRUE(QTest::qWaitFor([&] { return session.isActive() == active; }, 20000));
    }
    EXPECT_EQ(changes, (QList<bool>{false, true, false}));
}
