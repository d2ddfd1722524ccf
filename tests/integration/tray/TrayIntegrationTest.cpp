// SPDX-License-Identifier: MIT
#include "Views/TrayItem.hpp"

#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace quenlark;

namespace {

// Runs the event loop until `done` holds or a generous wait runs out; returns whether it held.
template <typename F> bool eventually(F done)
{
    const QDeadlineTimer deadline(20000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

// Whether the last availability the tray item announced was a yes.
bool available(const QSignalSpy& spy)
{
    return !spy.isEmpty() && spy.last().first().toBool();
}

// Takes the XEmbed tray selection, as a panel's notification area does, on a connection of its
// own: disconnecting it takes the tray away.
xcb_connection_t* startXEmbedTray()
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_window_t window = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    static constexpr char name[] = "_NET_SYSTEM_TRAY_S0";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
    xcb_set_selection_owner(connection, window, atom->atom, XCB_CURRENT_TIME);
    std::free(atom);
    xcb_flush(connection);
    return connection;
}

TEST(TrayIntegrationTest, LateStatusNotifierHostIsWaitedFor)
{
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    TrayItem tray;
    QSignalSpy availability(&tray, &TrayItem::availabilityChanged);
    QSignalSpy clicks(&tray, &TrayItem::clicked);
    tray.start();
    ASSERT_TRUE(eventually([&] { return !availability.isEmpty(); }));
    EXPECT_FALSE(available(availability));
    EXPECT_EQ(tray.systemTrayIcon(), nullptr);

    // The desktop's tray starts: the stand-in prints "registered SERVICE TIME" for each item.
    QProcess host;
    host.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(TRAY_WATCHER)});
    ASSERT_TRUE(eventually([&] { return available(availability); }));
    EXPECT_EQ(tray.systemTrayIcon()->toolTip(), QStringLiteral("Quenlark"));
    EXPECT_FALSE(tray.systemTrayIcon()->icon().isNull());
    QString item;
    ASSERT_TRUE(eventually([&] {
        while (host.canReadLine() && item.isEmpty()) {
            const QString line = QString::fromUtf8(host.readLine());
            if (line.startsWith(QStringLiteral("registered ")))
                item = line.section(u' ', 1, 1);
        }
        return !item.isEmpty();
    })) << "the icon never registered with the tray";

    // A click on the item reaches the program, with a place to show the panel at.
    QDBusMessage activate = QDBusMessage::createMethodCall(
        item, QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.kde.StatusNotifierItem"),
        QStringLiteral("Activate"));
    activate << 640 << 10;
    ASSERT_TRUE(QDBusConnection::sessionBus().send(activate));
    ASSERT_TRUE(eventually([&] { return !clicks.isEmpty(); }));
    EXPECT_TRUE(clicks.first().first().toRect().isValid());

    // The tray goes away: the program must offer its panel some other way.
    host.terminate();
    EXPECT_TRUE(eventually([&] { return !available(availability); }));
    host.waitForFinished();
}

TEST(TrayIntegrationTest, XEmbedTrayIsFollowedWithoutStatusNotifierHost)
{
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    xcb_connection_t* xembed = startXEmbedTray();
    TrayItem tray;
    QSignalSpy availability(&tray, &TrayItem::availabilityChanged);
    tray.start();

    // A tray that was there first is found; then it goes and comes back (a panel restarted).
    ASSERT_TRUE(eventually([&] { return available(availability); }));
    EXPECT_NE(tray.systemTrayIcon(), nullptr);
    xcb_disconnect(xembed);
    EXPECT_TRUE(eventually([&] { return !available(availability); }));
    xembed = startXEmbedTray();
    EXPECT_TRUE(eventually([&] { return available(availability); }));
    xcb_disconnect(xembed);
}

} // namespace
