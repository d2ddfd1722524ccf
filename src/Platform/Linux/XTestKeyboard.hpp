// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/ArrowKeyPoster.hpp"

#include <QByteArray>

#include <memory>

struct _XDisplay;

namespace quenlark {

// Posts keys through the XTEST extension on a connection of its own, so that nothing depends on
// the toolkit's connection or its platform plugin.
class XTestKeyboard : public ArrowKeyPoster {
public:
    // Null when the display cannot be opened.
    static std::unique_ptr<XTestKeyboard> open(const QByteArray& displayName);
    ~XTestKeyboard() override;
    XTestKeyboard(const XTestKeyboard&) = delete;
    XTestKeyboard& operator=(const XTestKeyboard&) = delete;

    // XTEST is there and the keyboard map has both arrow keys.
    bool hasXTest() const { return m_xtest; }
    // The server is XWayland: its fake input reaches X clients only, not the Wayland session.
    bool hasXWayland() const { return m_xwayland; }

    void post(ArrowKey key, bool keyDown) override;

private:
    explicit XTestKeyboard(_XDisplay* display);

    _XDisplay* m_display;
    bool m_xtest = false;
    bool m_xwayland = false;
    unsigned char m_right = 0;
    unsigned char m_left = 0;
};

} // namespace quenlark
