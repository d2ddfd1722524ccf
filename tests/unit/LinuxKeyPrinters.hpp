// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/KeyBackend.hpp"
#include "Platform/Linux/UinputKeyboard.hpp"

#include <ostream>

namespace quenlark {

inline void PrintTo(KeyBackend backend, std::ostream* out)
{
    static const char* const names[] = {"none", "xtest", "uinput", "portal"};
    *out << names[static_cast<int>(backend)];
}

inline void PrintTo(SessionType session, std::ostream* out)
{
    static const char* const names[] = {"x11", "wayland", "other"};
    *out << names[static_cast<int>(session)];
}

inline void PrintTo(UinputKeyboard::State state, std::ostream* out)
{
    static const char* const names[] = {"ready", "notPermitted", "unavailable"};
    *out << names[static_cast<int>(state)];
}

} // namespace quenlark
