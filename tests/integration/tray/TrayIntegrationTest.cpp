// SPDX-License-Identifier: MIT
#include "Views/TrayItem.hpp"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace quenlark;

namespace {

constexpr int generousWait = 20000;

bool available(const QSignalSpy& spy)
{
    return !spy.isEmpty() && spy.last().first().toBool();
}

// Takes the XEmbed tray selection as a panel's notification area does; disconnecting drops it.
xcb_connection_t* startXEmbedTray()
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    static constexpr char name[] = "_NET_SYSTEM_TRAY_S0";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
    xcb_set_selection_owner(connection, root, atom->atom, XCB_CURRENT_TIME);
    std::free(atom);
    xcb_flush(connection);
    return connection;
}

TEST(TrayIntegrationTest, LateStatusNotifierHostIsWaitedFor)
{
    TrayItem tray;
    QSignalSpy availability(&tray, &TrayItem::availabilityChanged);
    QSignalSpy clicks(&tray, &TrayItem::clicked);
    tray.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !availability.isEmpty(); }, generousWait));
    EXPECT_FALSE(available(availability));

    // The desktop's tray starts; its stand-in prints "registered SERVICE" for each item.
    QProcess host;
    host.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(TRAY_WATCHER)});
    ASSERT_TRUE(QTest::qWaitFor([&] { return available(availability); }, generousWait));
    EXPECT_EQ(tray.systemTrayIcon()->toolTip(), QStringLiteral("Quenlark"));
    EXPECT_FALSE(tray.systemTrayIcon()->icon().isNull());
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return host.readAll().contains("registered "); }, generousWait))
        << "the icon never registered with the tray";
    // A click on the icon is reported with a place to show the panel at.
    Q_EMIT tray.systemTrayIcon()->activated(QSystemTrayIcon::Trigger);
    ASSERT_EQ(clicks.count(), 1);
    EXPECT_TRUE(clicks.first().first().toRect().isValid());

    // The tray goes away: the program must offer its panel some other way.
    host.terminate();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !available(availability); }, generousWait));
}

TEST(TrayIntegrationTest, XEmbedTrayIsFollowedWithoutStatusNotifierHost)
{
    xcb_connection_t* xembed = startXEmbedTray();
    TrayItem tray;
    QSignalSpy availability(&tray, &TrayItem::availabilityChanged);
    tray.start();

    // A tray that was there first is found; then it goes and comes back (a panel restarted).
    ASSERT_TRUE(QTest::qWaitFor([&] { return available(availability); }, generousWait));
    xcb_disconnect(xembed);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !available(availability); }, generousWait));
    xembed = startXEmbedTray();
    EXPECT_TRUE(QTest::qWaitFor([&] { return available(availability); }, generousWait));
    xcb_disconnect(xembed);
}

} // namespace
