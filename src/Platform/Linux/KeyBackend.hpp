// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

namespace quenlark {

// How key presses reach the user's session.
enum class KeyBackend { none, xtest, portal, waylandVirtualKeyboard, uinput };

enum class SessionType { x11, wayland, other };

// The variables that tell what kind of graphical session this process runs in.
struct SessionEnvironment {
    QString xdgSessionType;
    QString waylandDisplay;
    QByteArray display;

    static SessionEnvironment current();
};

struct SessionFacts {
    SessionType session = SessionType::other;
    bool xtestPresent = false;
    bool xwaylandPresent = false;
    bool uinputWritable = false;
    bool portalAvailable = false;
    bool virtualKeyboardOffered = false;
};

// Wayland wins over X11: an X client there talks to XWayland, whose fake input reaches no
// Wayland window. A text-login session (startx) with a display is X11.
SessionType sessionType(const SessionEnvironment& environment);

// XTest on a real X11 server; otherwise the desktop's remote-desktop portal, once the user consents
// there; otherwise the Wayland compositor's virtual keyboard, which needs no privilege; otherwise
// uinput, only where /dev/uinput is writable, a grant that lets any program of the user make any
// input device. Otherwise nothing reaches the session.
KeyBackend selectBackend(const SessionFacts& facts);

} // namespace quenlark
