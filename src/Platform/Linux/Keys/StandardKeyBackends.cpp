// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/StandardKeyBackends.hpp"

#include "Platform/Linux/Keys/PortalKeyboard.hpp"
#include "Platform/Linux/Keys/UinputKeyboard.hpp"
#include "Platform/Linux/Keys/WaylandVirtualKeyboard.hpp"
#include "Platform/Linux/Keys/XTestKeyboard.hpp"

namespace quenlark {

KeyBackendList standardKeyBackends(const SessionEnvironment& environment, UserDefaults& defaults,
                                   const QDBusConnection& sessionBus)
{
    KeyBackendList backends;
    // XTest on a real X11 server needs no permission.
    backends.push_back(std::make_unique<XTestKeyboard>(environment.display));
    // The desktop's remote-desktop portal, once the user consents in its own dialog.
    backends.push_back(std::make_unique<PortalKeyboard>(defaults, sessionBus));
    // The compositor's virtual keyboard (wlroots), which needs no privilege.
    backends.push_back(std::make_unique<WaylandVirtualKeyboard>(
        std::make_unique<RealVirtualKeyboardCalls>(environment.waylandDisplay.toLocal8Bit())));
    // uinput last: a writable /dev/uinput lets any program of the user make any input device.
    backends.push_back(std::make_unique<UinputKeyboard>(std::make_unique<RealUinputSystemCalls>()));
    return backends;
}

} // namespace quenlark
