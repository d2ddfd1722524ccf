// SPDX-License-Identifier: MIT
#include "Views/TrayItem.hpp"

#include "Platform/Linux/XEmbedTray.hpp"

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

constexpr int generousWait = 20000;

// Runs the event loop until `done` holds or the wait runs out; returns whether it held.
template <typename F> bool eventually(F done)
{
    const QDeadlineTimer deadline(generousWait);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

bool lastAvailability(const QSignalSpy& spy)
{
    return !spy.isEmpty() && spy.last().first().toBool();
}

// The tray of a desktop: the StatusNotifierWatcher stand-in the benchmarks and the package test
// use too, in a process of its own. It prints "ready", then "registered SERVICE TIME" per item.
class StatusNotifierTray {
public:
    ~StatusNotifierTray() { stop(); }

    bool start()
    {
        process_.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(TRAY_WATCHER)});
        return eventually([this] { return lines().contains(QStringLiteral("ready")); });
    }
    void stop()
    {
        process_.terminate();
        process_.waitForFinished(generousWait);
    }
    // The first item that registered; empty while none has.
    QString firstItem()
    {
        for (const QString& line : lines())
            if (line.startsWith(QStringLiteral("registered ")))
                return line.section(u' ', 1, 1);
        return {};
    }

private:
    const QStringList& lines()
    {
        while (process_.canReadLine())
            lines_.append(QString::fromUtf8(process_.readLine()).trimmed());
        return lines_;
    }

    QProcess process_;
    QStringList lines_;
};

// An X client that owns the XEmbed tray selection, as a panel's notification area does.
class FakeXEmbedTray {
public:
    FakeXEmbedTray() : connection_(xcb_connect(nullptr, nullptr)) {}
    ~FakeXEmbedTray() { xcb_disconnect(connection_); }

    bool claim()
    {
        if (xcb_connection_has_error(connection_))
            return false;
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        const xcb_window_t window = xcb_generate_id(connection_);
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        static constexpr char name[] = "_NET_SYSTEM_TRAY_S0";
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, sizeof name - 1, name), nullptr);
        if (!atom)
            return false;
        xcb_set_selection_owner(connection_, window, atom->atom, XCB_CURRENT_TIME);
        std::free(atom);
        return xcb_flush(connection_) > 0;
    }

private:
    xcb_connection_t* connection_;
};

TEST(TrayIntegrationTest, LateStatusNotifierHostIsWaitedFor)
{
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    TrayItem tray;
    QSignalSpy availability(&tray, &TrayItem::availabilityChanged);
    QSignalSpy clicks(&tray, &TrayItem::clicked);
    tray.start();

    ASSERT_TRUE(eventually([&] { return !availability.isEmpty(); }));
    EXPECT_FALSE(lastAvailability(availability));
    EXPECT_EQ(tray.systemTrayIcon(), nullptr);

    StatusNotifierTray host;
    ASSERT_TRUE(host.start());

    ASSERT_TRUE(eventually([&] { return lastAvailability(availability); }));
    ASSERT_NE(tray.systemTrayIcon(), nullptr);
    EXPECT_EQ(tray.systemTrayIcon()->toolTip(), QStringLiteral("Quenlark"));
    ASSERT_TRUE(eventually([&] { return !host.firstItem().isEmpty(); }))
        << "the icon never registered with the tray";

    // The tray reports a click on the item.
    QDBusMessage activate = QDBusMessage::createMethodCall(
        host.firstItem(), QStringLiteral("/StatusNotifierItem"),
        QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"));
    activate << 640 << 10;
    ASSERT_TRUE(QDBusConnection::sessionBus().send(activate));
    ASSERT_TRUE(eventually([&] { return !clicks.isEmpty(); }));
    EXPECT_TRUE(clicks.first().first().toRect().isValid());

    // The tray goes away: the program must offer its panel some other way.
    host.stop();
    EXPECT_TRUE(eventually([&] { return !lastAvailability(availability); }));
}

TEST(TrayIntegrationTest, XEmbedTrayIsFollowedWithoutStatusNotifierHost)
{
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    XEmbedTray watched;
    ASSERT_TRUE(watched.start()) << "no XFixes on this X server";
    EXPECT_FALSE(watched.isPresent());
    TrayItem tray;
    QSignalSpy availability(&tray, &TrayItem::availabilityChanged);
    tray.start();
    ASSERT_TRUE(eventually([&] { return !availability.isEmpty(); }));
    EXPECT_FALSE(lastAvailability(availability));

    // A tray that comes, goes and comes back (a panel restarted): each change is seen, with no
    // question asked of the X server.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        {
            FakeXEmbedTray xembed;
            ASSERT_TRUE(xembed.claim());
            EXPECT_TRUE(eventually([&] { return watched.isPresent(); }));
            ASSERT_TRUE(eventually([&] { return lastAvailability(availability); }));
            EXPECT_NE(tray.systemTrayIcon(), nullptr);
        }
        EXPECT_TRUE(eventually([&] { return !lastAvailability(availability); }));
        EXPECT_FALSE(watched.isPresent());
    }
}

} // namespace
