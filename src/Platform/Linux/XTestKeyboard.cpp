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
    : m_display(display), m_xwayland(hasExtension(display, "XWAYLAND")),
      m_right(XKeysymToKeycode(display, XK_Right)), m_left(XKeysymToKeycode(display, XK_Left))
{
    m_xtest = hasExtension(display, "XTEST") && m_right != 0 && m_left != 0;
}

XTestKeyboard::~XTestKeyboard()
{
    XCloseDisplay(m_display);
}

void XTestKeyboard::post(ArrowKey key, bool keyDown)
{
    if (!m_xtest)
        return;
    XTestFakeKeyEvent(m_display, key == ArrowKey::right ? m_right : m_left, keyDown ? True : False,
                      CurrentTime);
    XFlush(m_display);
}

} // namespace quenlark
