// SPDX-License-Identifier: MIT
#include "Platform/Linux/KeyBackend.hpp"

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

KeyBackend selectBackend(const SessionFacts& facts)
{
    if (facts.session == SessionType::x11 && facts.xtestPresent && !facts.xwaylandPresent)
        return KeyBackend::xtest;
    if (facts.portalAvailable)
        return KeyBackend::portal;
    if (facts.session == SessionType::wayland && facts.virtualKeyboardOffered)
        return KeyBackend::waylandVirtualKeyboard;
    if (facts.uinputWritable)
        return KeyBackend::uinput;
    return KeyBackend::none;
}

} // namespace quenlark
