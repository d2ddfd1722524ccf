// SPDX-License-Identifier: MIT
#include "Platform/Linux/Tray/XEmbedTray.hpp"

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdlib>
#include <memory>

namespace quenlark {

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeReply>;

xcb_connection_t* qtConnection()
{
    // Other platforms may offer the X11 interface too (offscreen does) without an X server.
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    return connection && !xcb_connection_has_error(connection) ? connection : nullptr;
}

// The default screen, as named by DISPLAY, and its root window.
xcb_screen_t* defaultScreen(xcb_connection_t* connection, int& number)
{
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &number))
        std::free(host);
    else
        number = 0;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; screens.rem && i < number; ++i)
        xcb_screen_next(&screens);
    return screens.rem ? screens.data : nullptr;
}

} // namespace

XEmbedTray::XEmbedTray(QObject* parent) : QObject(parent) {}

bool XEmbedTray::start()
{
    xcb_connection_t* connection = qtConnection();
    if (!connection)
        return false;
    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(connection, &xcb_xfixes_id);
    int number = 0;
    xcb_screen_t* screen = defaultScreen(connection, number);
    if (!xfixes || !xfixes->present || !screen)
        return false;
    const Reply<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
        connection,
        xcb_xfixes_query_version(connection, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION),
        nullptr));
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(number);
    const Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.constData()),
        nullptr));
    if (!version || !atom)
        return false;
    selection_ = atom->atom;
    selectionNotify_ = static_cast<std::uint8_t>(xfixes->first_event + XCB_XFIXES_SELECTION_NOTIFY);
    QCoreApplication::instance()->installNativeEventFilter(this);

    // Watched before the owner is asked for, so that no change between the two is missed.
    xcb_xfixes_select_selection_input(connection, screen->root, selection_,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    const Reply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, selection_), nullptr));
    setPresent(owner && owner->owner != XCB_NONE);
    return true;
}

bool XEmbedTray::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != selectionNotify_)
        return false;
    const auto* notify = static_cast<const xcb_xfixes_selection_notify_event_t*>(message);
    if (notify->selection == selection_)
        setPresent(notify->subtype == XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER &&
                   notify->owner != XCB_NONE);
    // Qt's clipboard watches other selections through the same events.
    return false;
}

void XEmbedTray::setPresent(bool present)
{
    if (present == present_)
        return;
    present_ = present;
    Q_EMIT presenceChanged(present);
}

} // namespace quenlark
