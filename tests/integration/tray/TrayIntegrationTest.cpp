// SPDX-License-Identifier: MIT
#include "Views/TrayItem.hpp"

#include "FakeStatusNotifierWatcher.hpp"
#include "Views/XEmbedTray.hpp"

#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QSignalSpy>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace quenlark;
using quenlark::testing::FakeWatcherThread;

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

    FakeWatcherThread watcher;
    ASSERT_TRUE(watcher.startAndWait());

    ASSERT_TRUE(eventually([&] { return lastAvailability(availability); }));
    ASSERT_NE(tray.systemTrayIcon(), nullptr);
    EXPECT_EQ(tray.systemTrayIcon()->toolTip(), QStringLiteral("Quenlark"));
    ASSERT_TRUE(eventually([&] { return !watcher.items().isEmpty(); }))
        << "the icon never registered with the tray";

    // The tray reports a click on the item.
    QDBusMessage activate = QDBusMessage::createMethodCall(
        watcher.items().first(), QStringLiteral("/StatusNotifierItem"),
        QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"));
    activate << 640 << 10;
    ASSERT_TRUE(QDBusConnection::sessionBus().send(activate));
    ASSERT_TRUE(eventually([&] { return !clicks.isEmpty(); }));
    EXPECT_TRUE(clicks.first().first().toRect().isValid());

    // The tray goes away: the program must offer its panel some other way.
    watcher.stop();
    EXPECT_TRUE(eventually([&] { return !lastAvailability(availability); }));
}

TEST(TrayIntegrationTest, XEmbedTrayIsFoundWithoutStatusNotifierHost)
{
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    EXPECT_FALSE(XEmbedTray::isPresent());
    TrayItem tray;
    QSignalSpy availability(&tray, &TrayItem::availabilityChanged);
    tray.start();
    ASSERT_TRUE(eventually([&] { return !availability.isEmpty(); }));
    EXPECT_FALSE(lastAvailability(availability));

    {
        FakeXEmbedTray xembed;
        ASSERT_TRUE(xembed.claim());
        EXPECT_TRUE(eventually([] { return XEmbedTray::isPresent(); }));
        ASSERT_TRUE(eventually([&] { return lastAvailability(availability); }));
        EXPECT_NE(tray.systemTrayIcon(), nullptr);
    }

    EXPECT_TRUE(eventually([&] { return !lastAvailability(availability); }));
    EXPECT_FALSE(XEmbedTray::isPresent());
}

} // namespace
