// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/XTestKeyboard.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <utility>

namespace quenlark {

namespace {
bool hasExtension(Display* display, const char* name)
{
    int opcode = 0;
    int firstEvent = 0;
    int firstError = 0;
    return XQueryExtension(display, name, &opcode, &firstEvent, &firstError) != False;
}
} // namespace

XTestKeyboard::XTestKeyboard(QByteArray displayName) : displayName_(std::move(displayName)) {}

XTestKeyboard::~XTestKeyboard()
{
    if (display_)
        XCloseDisplay(display_);
}

KeyBackend::Presence XTestKeyboard::presence(SessionType session, bool hasXTest, bool hasXWayland)
{
    return session == SessionType::x11 && hasXTest && !hasXWayland ? Presence::present
                                                                   : Presence::absent;
}

KeyBackend::Presence XTestKeyboard::presence(SessionType session)
{
    // The server's extensions do not change while it runs: asked once.
    if (std::exchange(asked_, true) || session != SessionType::x11 || displayName_.isEmpty())
        return display_ ? Presence::present : Presence::absent;
    Display* display = XOpenDisplay(displayName_.constData());
    if (!display)
        return Presence::absent;
    right_ = XKeysymToKeycode(display, XK_Right);
    left_ = XKeysymToKeycode(display, XK_Left);
    const bool xtest = hasExtension(display, "XTEST") && right_ != 0 && left_ != 0;
    if (presence(session, xtest, hasExtension(display, "XWAYLAND")) == Presence::absent) {
        XCloseDisplay(display);
        return Presence::absent;
    }
    display_ = display;
    return Presence::present;
}

void XTestKeyboard::post(ArrowKey key, bool keyDown)
{
    if (!display_)
        return;
    XTestFakeKeyEvent(display_, key == ArrowKey::right ? right_ : left_, keyDown ? True : False,
                      CurrentTime);
    XFlush(display_);
}

} // namespace quenlark
