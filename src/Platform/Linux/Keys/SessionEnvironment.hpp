// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

namespace quenlark {

enum class SessionType { x11, wayland, other };

// The variables that tell what kind of graphical session this process runs in.
struct SessionEnvironment {
    QString xdgSessionType;
    QString waylandDisplay;
    QByteArray display;

    static SessionEnvironment current();
};

// Wayland wins over X11: an X client there talks to XWayland, whose fake input reaches no
// Wayland window. A text-login session (startx) with a display is X11.
SessionType sessionType(const SessionEnvironment& environment);

} // namespace quenlark
