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
    bool hasXTest() const { return xtest_; }
    // The server is XWayland: its fake input reaches X clients only, not the Wayland session.
    bool hasXWayland() const { return xwayland_; }

    void post(ArrowKey key, bool keyDown) override;

private:
    explicit XTestKeyboard(_XDisplay* display);

    _XDisplay* display_;
    bool xtest_ = false;
    bool xwayland_ = false;
    unsigned char right_ = 0;
    unsigned char left_ = 0;
};

} // namespace quenlark
