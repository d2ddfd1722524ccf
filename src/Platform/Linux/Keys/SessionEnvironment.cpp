// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/SessionEnvironment.hpp"

#include <QtGlobal>

namespace quenlark {

SessionEnvironment SessionEnvironment::current()
{
    return {qEnvironmentVariable("XDG_SESSION_TYPE"), qEnvironmentVariable("WAYLAND_DISPLAY"),
            qgetenv("DISPLAY")};
}

SessionType sessionType(const SessionEnvironment& environment)
{
    if (environment.xdgSessionType == u"wayland" || !environment.waylandDisplay.isEmpty())
        return SessionType::wayland;
    if (environment.xdgSessionType == u"x11" || !environment.display.isEmpty())
        return SessionType::x11;
    return SessionType::other;
}

} // namespace quenlark
