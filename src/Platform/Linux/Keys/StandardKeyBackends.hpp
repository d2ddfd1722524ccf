// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/Keys/KeyBackend.hpp"
#include "Platform/Linux/Keys/SessionEnvironment.hpp"

#include <QDBusConnection>

namespace quenlark {

class UserDefaults;

// The ways keys reach a Linux session, most preferred first: the order is the policy.
// The portal is asked on `sessionBus`.
KeyBackendList standardKeyBackends(const SessionEnvironment& environment, UserDefaults& defaults,
                                   const QDBusConnection& sessionBus);

} // namespace quenlark
