// SPDX-License-Identifier: MIT
#include "Platform/Linux/XTestKeyboard.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

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

std::unique_ptr<XTestKeyboard> XTestKeyboard::open(const QByteArray& displayName)
{
    if (displayName.isEmpty())
        return nullptr;
    Display* display = XOpenDisplay(displayName.constData());
    if (!display)
        return nullptr;
    return std::unique_ptr<XTestKeyboard>(new XTestKeyboard(display));
}

XTestKeyboard::XTestKeyboard(Display* display)
    : display_(display), xwayland_(hasExtension(display, "XWAYLAND")),
      right_(XKeysymToKeycode(display, XK_Right)), left_(XKeysymToKeycode(display, XK_Left))
{
    xtest_ = hasExtension(display, "XTEST") && right_ != 0 && left_ != 0;
}

XTestKeyboard::~XTestKeyboard()
{
    XCloseDisplay(display_);
}

void XTestKeyboard::post(ArrowKey key, bool keyDown)
{
    if (!xtest_)
        return;
    XTestFakeKeyEvent(display_, key == ArrowKey::right ? right_ : left_, keyDown ? True : False,
                      CurrentTime);
    XFlush(display_);
}

} // namespace quenlark
