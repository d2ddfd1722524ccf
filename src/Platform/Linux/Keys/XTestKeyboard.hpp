// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/Keys/KeyBackend.hpp"

#include <QByteArray>

struct _XDisplay;

namespace quenlark {

// Posts keys through the XTEST extension on a connection of its own, so that nothing depends on
// the toolkit's connection or its platform plugin. The connection is opened when an X11 session
// asks, and kept only while XTest is what reaches it.
class XTestKeyboard : public KeyBackend {
    Q_OBJECT

public:
    explicit XTestKeyboard(QByteArray displayName);
    ~XTestKeyboard() override;

    // A real X server with XTEST and both arrow keys in its map. XWayland's fake input reaches X
    // clients only, not the Wayland session.
    static Presence presence(SessionType session, bool hasXTest, bool hasXWayland);

    Presence presence(SessionType session) override;
    bool start() override { return display_ != nullptr; }
    bool reachesSession() const override { return display_ != nullptr; }
    void post(ArrowKey key, bool keyDown) override;

private:
    QByteArray displayName_;
    bool asked_ = false;
    _XDisplay* display_ = nullptr;
    unsigned char right_ = 0;
    unsigned char left_ = 0;
};

} // namespace quenlark
